// Platform services the system's logic uses. The logic never includes Qt;
// each service has one Qt implementation (platform/qt) and one fake (testing/).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kvr {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// Wall-clock local time without a zone: device time is counted from
// 2000-01-01 00:00 of the workstation's local time, so plain local seconds
// are exactly what the protocols need.
using LocalTime = std::chrono::local_seconds;

// Thrown from a yield or a wait when the user closed the window (or the
// program was told to stop). Run sequences catch it at their top and do the
// program's end steps, so closing never leaves a port or file open.
struct ProgramEnd : std::exception {
    const char* what() const noexcept override { return "program end requested"; }
};

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic clock: every wait and time limit uses this,
    // so nothing ends early when the wall clock passes midnight or is set.
    virtual std::int64_t monotonicMs() = 0;
    // Present local date and time, whole seconds.
    virtual LocalTime now() = 0;
    // Blocks (never spins) until monotonicMs() >= deadline, or less: callers
    // loop. A fake clock advances instead of sleeping.
    virtual void sleepUntil(std::int64_t deadlineMs) = 0;
};

enum class PortEvent { Send, Receive, Error };

class SerialPort {
public:
    virtual ~SerialPort() = default;
    // Opens port N (Windows "COM<N>"; Linux: see platform/qt). On failure
    // returns false and fills errorText with the platform's text.
    virtual bool open(int portNumber, std::string& errorText) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual int portNumber() const = 0;
    // "9600,n,8,1" or "56000,n,8,1". Applies at once when open, else at open.
    virtual bool setSettings(const std::string& settings) = 0;
    virtual std::string settings() const = 0;
    virtual std::size_t bytesWaiting() = 0;
    virtual Bytes readAll() = 0;
    virtual bool write(ByteSpan data) = 0;
    // Failures (as on a pseudo-terminal) are reported but must not matter.
    virtual bool setDtr(bool on) = 0;
    virtual bool setRts(bool on) = 0;
    // Discards everything received and not yet read.
    virtual void clearInput() = 0;
    // Blocks until at least one byte is waiting or the monotonic deadline
    // passes; may return early (callers loop). Never spins.
    virtual bool waitForBytes(std::int64_t deadlineMs) = 0;
    // Port events (send, receive, errors) as the window's port control
    // reports them; Receive fires from waitForBytes when data arrived.
    virtual void setEventHandler(std::function<void(PortEvent)> handler) = 0;
};

// Per-user settings store: application, section, key, text values.
class Settings {
public:
    virtual ~Settings() = default;
    virtual std::optional<std::string> get(const std::string& app, const std::string& section,
                                           const std::string& key) = 0;
    virtual void set(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) = 0;
    std::string get(const std::string& app, const std::string& section, const std::string& key,
                    const std::string& fallback) {
        auto v = get(app, section, key);
        return v ? *v : fallback;
    }
};

enum class Icon { None, Information, Exclamation };

// Colours of the window's two lamps (0 follows the requests, 1 the
// answers); the values are the letters the windows are given.
enum class Lamp : char { Off = 'N', Green = 'G', Red = 'R' };
enum class Buttons { Ok, YesNo };

// The window side of a program: status line, lamps, progress, dialogs.
// The single error sink: windows show it, the console prints it, tests record it.
class Screen {
public:
    virtual ~Screen() = default;
    virtual void showEvent(const std::string& text) = 0;    // status line
    virtual void setLed(int index, char colour) = 0;         // 'G', 'R', 'N'
    void setLamp(int index, Lamp colour) { setLed(index, static_cast<char>(colour)); }
    virtual void setProgress(int percent) = 0;               // 0..100
    virtual void nextDumpImg() {}                            // animation step
    // Lets the window process pending events. Throws ProgramEnd when the
    // window was closed meanwhile.
    virtual void yield() = 0;
    // Returns true for Yes (and for OK).
    virtual bool messageBox(const std::string& text, const std::string& title, Icon icon,
                            Buttons buttons) = 0;
    // Cancel gives an empty answer.
    virtual std::string inputBox(const std::string& prompt, const std::string& title,
                                 const std::string& defaultAnswer) = 0;
    // An input box that asks for a serial port: a window offers the ports it
    // sees; the answer is a port number or a device path.
    virtual std::string portBox(const std::string& prompt, const std::string& title,
                                const std::string& defaultAnswer) {
        return inputBox(prompt, title, defaultAnswer);
    }
    virtual void showWindow(bool visible) { (void)visible; }
    virtual void setBusy(bool busy) { (void)busy; }
};

// Everything a run sequence needs from the platform, bundled.
struct Platform {
    Clock& clock;
    SerialPort& port;
    Settings& settings;
    Screen& screen;
};

}  // namespace kvr
