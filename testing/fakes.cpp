#include "testing/fakes.h"

#include <algorithm>

namespace kvr::test {

FakeClock::FakeClock(LocalTime start) : wallBase_(start) {
    if (start == LocalTime{std::chrono::seconds{0}}) {
        // 2012-03-04 12:34:56: a fixed, unremarkable moment.
        using namespace std::chrono;
        wallBase_ = local_days{year{2012} / 3 / 4} + hours{12} + minutes{34} + seconds{56};
    }
}

LocalTime FakeClock::now() {
    return wallBase_ + std::chrono::seconds{(mono_ - wallBaseMono_) / 1000};
}

void FakeClock::advanceTo(std::int64_t ms) {
    if (ms > mono_) mono_ = ms;
}

void FakeClock::setNow(LocalTime t) {
    wallBase_ = t;
    wallBaseMono_ = mono_;
}

void FakePort::attach(int portNumber, sim::SimDevice* device) { devices_[portNumber] = device; }
void FakePort::detach(int portNumber) { devices_.erase(portNumber); }
void FakePort::failOpen(int portNumber, std::string errorText) { openFailures_[portNumber] = std::move(errorText); }

void FakePort::schedule(std::int64_t at, Bytes bytes) {
    // After everything due at the same time or earlier: equal times keep
    // their order. Inserting in place keeps a long stream of chunks cheap.
    auto pos = std::upper_bound(pending_.begin(), pending_.end(), at,
                                [](std::int64_t t, const Pending& p) { return t < p.at; });
    pending_.insert(pos, Pending{at, std::move(bytes)});
}

void FakePort::inject(Bytes bytes, std::int64_t delayMs) { schedule(clock_.monotonicMs() + delayMs, std::move(bytes)); }

bool FakePort::open(int portNumber, std::string& errorText) {
    lineEvents.push_back("open " + std::to_string(portNumber));
    if (open_) {
        errorText = "Device or resource busy";
        return false;
    }
    if (auto f = openFailures_.find(portNumber); f != openFailures_.end()) {
        errorText = f->second;
        return false;
    }
    if (!devices_.count(portNumber)) {
        errorText = "No such file or directory";
        return false;
    }
    open_ = true;
    port_ = portNumber;
    ++openCount;
    input_.clear();
    pending_.clear();
    if (auto* d = device()) d->lineSettingsChanged(settings_);
    return true;
}

void FakePort::close() {
    if (open_) lineEvents.push_back("close");
    open_ = false;
    input_.clear();
    pending_.clear();
}

bool FakePort::setSettings(const std::string& settings) {
    settings_ = settings;
    lineEvents.push_back("settings " + settings);
    if (open_)
        if (auto* d = device()) d->lineSettingsChanged(settings);
    return true;
}

sim::SimDevice* FakePort::device() {
    auto it = devices_.find(port_);
    return it == devices_.end() ? nullptr : it->second;
}

void FakePort::deliverDue() {
    bool any = false;
    while (!pending_.empty() && pending_.front().at <= clock_.monotonicMs()) {
        input_.insert(input_.end(), pending_.front().bytes.begin(), pending_.front().bytes.end());
        pending_.pop_front();
        any = true;
    }
    if (any && handler_) handler_(PortEvent::Receive);
}

std::size_t FakePort::bytesWaiting() {
    if (!open_) return 0;
    deliverDue();
    return input_.size();
}

Bytes FakePort::readAll() {
    if (!open_) return {};
    deliverDue();
    Bytes out;
    out.swap(input_);
    return out;
}

bool FakePort::write(ByteSpan data) {
    if (!open_) return false;
    if (record) writes.emplace_back(data.begin(), data.end());
    if (handler_) handler_(PortEvent::Send);
    if (auto* d = device()) {
        sim::SimOutput out;
        d->receive(data, out);
        std::int64_t at = clock_.monotonicMs() + latencyMs;
        for (auto& c : out.chunks) {
            at += c.delayMs;
            schedule(at, std::move(c.bytes));
        }
    }
    return true;
}

bool FakePort::setDtr(bool on) {
    if (record) lineEvents.push_back(on ? "DTR1" : "DTR0");
    return !modemLinesFail;
}

bool FakePort::setRts(bool on) {
    if (record) lineEvents.push_back(on ? "RTS1" : "RTS0");
    return !modemLinesFail;
}

void FakePort::clearInput() {
    deliverDue();
    input_.clear();
}

bool FakePort::waitForBytes(std::int64_t deadlineMs) {
    if (!open_) {
        clock_.advanceTo(deadlineMs);
        return false;
    }
    deliverDue();
    if (!input_.empty()) return true;
    if (!pending_.empty() && pending_.front().at <= deadlineMs) {
        clock_.advanceTo(pending_.front().at);
        deliverDue();
        return true;
    }
    clock_.advanceTo(deadlineMs);
    return false;
}

Bytes FakePort::written() const {
    Bytes all;
    for (const auto& w : writes) all.insert(all.end(), w.begin(), w.end());
    return all;
}

void ScriptedScreen::yield() {
    ++yields;
    if (onYield) onYield();
    if (closeAfter_ >= 0) {
        if (closeAfter_ == 0) {
            closeAfter_ = -1;
            throw ProgramEnd{};
        }
        --closeAfter_;
    }
}

bool ScriptedScreen::messageBox(const std::string& text, const std::string& title, Icon, Buttons buttons) {
    BoxRecord rec{buttons == Buttons::YesNo ? "question" : "message", title, text, ""};
    bool yes = buttons == Buttons::Ok;
    if (buttons == Buttons::YesNo) {
        auto& q = answers_[title];
        if (!q.empty()) {
            yes = q.front() == "Yes";
            q.pop_front();
        }
        rec.answer = yes ? "Yes" : "No";
    }
    boxes.push_back(rec);
    return yes;
}

std::string ScriptedScreen::inputBox(const std::string& prompt, const std::string& title,
                                     const std::string& defaultAnswer) {
    std::string a = defaultAnswer;
    auto& q = answers_[title];
    if (!q.empty()) {
        a = q.front();
        q.pop_front();
    }
    boxes.push_back({"input", title, prompt, a});
    return a;
}

std::optional<std::string> MemorySettings::get(const std::string& app, const std::string& section,
                                               const std::string& key) {
    auto it = values.find(app + "/" + section + "/" + key);
    if (it == values.end()) return std::nullopt;
    return it->second;
}

void MemorySettings::set(const std::string& app, const std::string& section, const std::string& key,
                         const std::string& value) {
    values[app + "/" + section + "/" + key] = value;
}

}  // namespace kvr::test
