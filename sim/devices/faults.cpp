#include "sim/devices/faults.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>

namespace kvr::sim {

std::optional<std::string> takeOption(OptionArgs& args, const std::string& name) {
    std::optional<std::string> value;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] == name) {
            if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value");
            value = args[i + 1];
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        } else {
            ++i;
        }
    }
    return value;
}

std::vector<std::string> takeOptionAll(OptionArgs& args, const std::string& name) {
    std::vector<std::string> values;
    for (std::size_t i = 0; i < args.size();) {
        if (args[i] == name) {
            if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value");
            values.push_back(args[i + 1]);
            args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
        } else {
            ++i;
        }
    }
    return values;
}

bool takeFlag(OptionArgs& args, const std::string& name) {
    auto it = std::remove(args.begin(), args.end(), name);
    bool found = it != args.end();
    args.erase(it, args.end());
    return found;
}

long long parseInt(const std::string& text, const std::string& name, long long min, long long max) {
    long long v = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    auto [p, ec] = std::from_chars(first, last, v, base);
    if (ec != std::errc() || p != last || text.empty())
        throw std::invalid_argument(name + ": not a whole number: '" + text + "'");
    if (v < min || v > max)
        throw std::invalid_argument(name + ": " + text + " is outside " + std::to_string(min) + ".." +
                                    std::to_string(max));
    return v;
}

std::optional<long long> takeInt(OptionArgs& args, const std::string& name, long long min, long long max) {
    auto v = takeOption(args, name);
    if (!v) return std::nullopt;
    return parseInt(*v, name, min, max);
}

void rejectUnknownOptions(const OptionArgs& args) {
    if (!args.empty()) throw std::invalid_argument("unknown option or argument: '" + args.front() + "'");
}

FaultOptions takeFaultOptions(OptionArgs& args) {
    FaultOptions o;
    constexpr long long kMax = 1'000'000;
    if (auto v = takeInt(args, "--noise", 0, 250)) o.noise = static_cast<int>(*v);
    if (auto v = takeInt(args, "--corrupt-every", 0, kMax)) o.corruptEvery = static_cast<int>(*v);
    if (auto v = takeInt(args, "--wrong-echo-every", 0, kMax)) o.wrongEchoEvery = static_cast<int>(*v);
    if (auto v = takeInt(args, "--silent-after", 0, kMax)) o.silentAfter = static_cast<int>(*v);
    if (auto v = takeInt(args, "--cut-after", 0, kMax)) o.cutAfter = static_cast<int>(*v);
    for (auto& s : takeOptionAll(args, "--drop-frame"))
        o.dropFrames.insert(static_cast<int>(parseInt(s, "--drop-frame", 0, kMax)));
    for (auto& s : takeOptionAll(args, "--garble-frame"))
        o.garbleFrames.insert(static_cast<int>(parseInt(s, "--garble-frame", 0, kMax)));
    if (auto v = takeInt(args, "--seed", 0, std::numeric_limits<long long>::max())) o.seed = static_cast<std::uint64_t>(*v);
    return o;
}

std::string faultOptionsHelp() {
    return "  --seed N              seed for generated data and noise (default 1)\n"
           "  --noise N             send N random noise bytes before every answer\n"
           "  --corrupt-every N     break the frame check of the answer of every Nth exchange\n"
           "  --wrong-echo-every N  answer every Nth exchange with a wrong command code\n"
           "  --silent-after K      answer K exchanges, then nothing (the link is dead)\n"
           "  --cut-after F         stop a bulk stream after F frames\n"
           "  --drop-frame I        leave bulk frame I (0-based) out of the stream (repeatable)\n"
           "  --garble-frame I      damage the record of bulk frame I so it fails its check (repeatable)\n";
}

FaultInjector::FaultInjector(FaultOptions options) : o_(std::move(options)), rng_(o_.seed ^ 0x9E3779B97F4A7C15ull) {}

bool FaultInjector::silent() const { return o_.silentAfter && exchanges_ >= *o_.silentAfter; }

FaultInjector::Plan FaultInjector::nextExchange() {
    Plan p;
    if (silent()) {
        p.silent = true;
        p.exchange = exchanges_ + 1;
        note("unanswered");
        return p;
    }
    p.exchange = ++exchanges_;
    p.corruptCheck = o_.corruptEvery > 0 && p.exchange % o_.corruptEvery == 0;
    p.wrongEcho = !p.corruptCheck && o_.wrongEchoEvery > 0 && p.exchange % o_.wrongEchoEvery == 0;
    p.noiseBytes = o_.noise;
    if (p.corruptCheck) note("corruptCheck");
    if (p.wrongEcho) note("wrongEcho");
    if (p.noiseBytes) note("noisyAnswers");
    return p;
}

Bytes FaultInjector::noise(int count) {
    Bytes b;
    b.reserve(static_cast<std::size_t>(std::max(count, 0)));
    std::uniform_int_distribution<int> d(0, 255);
    while (static_cast<int>(b.size()) < count) {
        auto v = static_cast<std::uint8_t>(d(rng_));
        if (v == 0x5E || v == 0x4E || v == 0x4F) continue;
        b.push_back(v);
    }
    return b;
}

void FaultInjector::breakCheck(Bytes& frame) {
    if (!frame.empty()) frame.back() ^= 0xA5;
}

bool FaultInjector::cutBefore(int frameIndex) const { return o_.cutAfter && frameIndex >= *o_.cutAfter; }
bool FaultInjector::dropFrame(int frameIndex) const { return o_.dropFrames.count(frameIndex) > 0; }
bool FaultInjector::garbleFrame(int frameIndex) const { return o_.garbleFrames.count(frameIndex) > 0; }

void FaultInjector::note(const std::string& what) {
    applied_[what] = applied_.value(what, 0) + 1;
}

nlohmann::json FaultInjector::state() const {
    nlohmann::json j;
    j["options"] = {{"noise", o_.noise},
                    {"corruptEvery", o_.corruptEvery},
                    {"wrongEchoEvery", o_.wrongEchoEvery},
                    {"silentAfter", o_.silentAfter ? nlohmann::json(*o_.silentAfter) : nlohmann::json()},
                    {"cutAfter", o_.cutAfter ? nlohmann::json(*o_.cutAfter) : nlohmann::json()},
                    {"dropFrames", o_.dropFrames},
                    {"garbleFrames", o_.garbleFrames},
                    {"seed", o_.seed}};
    j["applied"] = applied_;
    j["exchanges"] = exchanges_;
    return j;
}

}  // namespace kvr::sim
