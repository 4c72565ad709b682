// Test doubles for the platform: a fake clock that advances instead of
// sleeping, a fake port with simulated devices behind it, a scripted screen
// and an in-memory settings store.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/platform.h"
#include "sim/devices/sim_device.h"

namespace kvr::test {

class FakeClock : public Clock {
public:
    explicit FakeClock(LocalTime start = LocalTime{std::chrono::seconds{0}});
    std::int64_t monotonicMs() override { return mono_; }
    LocalTime now() override;
    void sleepUntil(std::int64_t deadlineMs) override { advanceTo(deadlineMs); }
    void advanceTo(std::int64_t ms);
    void advance(std::int64_t ms) { advanceTo(mono_ + ms); }
    void setNow(LocalTime t);

private:
    std::int64_t mono_ = 1'000'000;
    std::int64_t wallBaseMono_ = 1'000'000;
    LocalTime wallBase_;
};

class FakePort : public SerialPort {
public:
    explicit FakePort(FakeClock& clock) : clock_(clock) {}
    // Device reachable as port N (nullptr: the port exists but nothing answers).
    void attach(int portNumber, sim::SimDevice* device);
    void detach(int portNumber);
    // Make open() of this port fail with the given text.
    void failOpen(int portNumber, std::string errorText);
    // Inject bytes arriving after delayMs (noise, unsolicited text).
    void inject(Bytes bytes, std::int64_t delayMs = 0);
    // Latency added before every device answer.
    std::int64_t latencyMs = 1;
    bool modemLinesFail = true;  // like a pseudo-terminal
    bool record = true;          // keep writes and line events (fuzzers turn it off: they run long)

    bool open(int portNumber, std::string& errorText) override;
    void close() override;
    bool isOpen() const override { return open_; }
    int portNumber() const override { return port_; }
    bool setSettings(const std::string& settings) override;
    std::string settings() const override { return settings_; }
    std::size_t bytesWaiting() override;
    Bytes readAll() override;
    bool write(ByteSpan data) override;
    bool setDtr(bool on) override;
    bool setRts(bool on) override;
    void clearInput() override;
    bool waitForBytes(std::int64_t deadlineMs) override;
    void setEventHandler(std::function<void(PortEvent)> handler) override { handler_ = std::move(handler); }

    // Everything written, one entry per write() call.
    std::vector<Bytes> writes;
    Bytes written() const;  // all writes joined
    std::vector<std::string> lineEvents;  // "DTR0", "RTS1", "open 3", "close", "settings ..."
    int openCount = 0;

private:
    struct Pending {
        std::int64_t at;
        Bytes bytes;
    };
    void deliverDue();
    void schedule(std::int64_t at, Bytes bytes);
    sim::SimDevice* device();
    FakeClock& clock_;
    std::map<int, sim::SimDevice*> devices_;
    std::map<int, std::string> openFailures_;
    std::deque<Pending> pending_;
    Bytes input_;
    bool open_ = false;
    int port_ = 0;
    std::string settings_ = "9600,n,8,1";
    std::function<void(PortEvent)> handler_;
};

struct BoxRecord {
    std::string kind;  // "message", "question", "input"
    std::string title;
    std::string text;
    std::string answer;
};

class ScriptedScreen : public Screen {
public:
    // Answers for boxes with this title, used in order. Without (or after
    // the last) answer: an input box takes its default, a question is No.
    void answer(const std::string& title, const std::string& text) { answers_[title].push_back(text); }
    // Throw ProgramEnd from the Nth yield from now (simulates closing the window).
    void closeAfterYields(int n) { closeAfter_ = n; }

    void showEvent(const std::string& text) override { events.push_back(text); }
    void setLed(int index, char colour) override { leds.push_back(std::to_string(index) + colour); }
    void setProgress(int percent) override { progress.push_back(percent); }
    void nextDumpImg() override { ++dumpImgSteps; }
    void yield() override;
    bool messageBox(const std::string& text, const std::string& title, Icon icon, Buttons buttons) override;
    std::string inputBox(const std::string& prompt, const std::string& title, const std::string& defaultAnswer) override;
    void showWindow(bool visible) override { windowShown.push_back(visible); }

    std::vector<std::string> events;
    std::vector<std::string> leds;
    std::vector<int> progress;
    std::vector<BoxRecord> boxes;
    std::vector<bool> windowShown;
    int dumpImgSteps = 0;
    int yields = 0;
    std::function<void()> onYield;  // e.g. to advance a fake clock

private:
    std::map<std::string, std::deque<std::string>> answers_;
    int closeAfter_ = -1;
};

// Shows nothing and records nothing: for fuzzers, whose runs are counted in
// the hundred thousands.
class QuietScreen : public Screen {
public:
    void showEvent(const std::string&) override {}
    void setLed(int, char) override {}
    void setProgress(int) override {}
    void yield() override {}
    bool messageBox(const std::string&, const std::string&, Icon, Buttons) override { return false; }
    std::string inputBox(const std::string&, const std::string&, const std::string& answer) override { return answer; }
};

class MemorySettings : public Settings {
public:
    using Settings::get;
    std::optional<std::string> get(const std::string& app, const std::string& section,
                                   const std::string& key) override;
    void set(const std::string& app, const std::string& section, const std::string& key,
             const std::string& value) override;
    std::map<std::string, std::string> values;  // "app/section/key"
};

// The fake platform every unit test starts from.
struct FakePlatform {
    FakeClock clock;
    FakePort port{clock};
    MemorySettings settings;
    ScriptedScreen screen;
    Platform platform{clock, port, settings, screen};
};

}  // namespace kvr::test
