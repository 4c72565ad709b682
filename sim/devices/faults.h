// Fault injection shared by every simulated device: noise before answers,
// answers with a broken frame check or a wrong command echo, a device that
// goes silent, bulk streams that are cut or lose frames. Each device decides
// what an "exchange" and a "frame" are; this only counts and decides.
//
// Typical use in a device:
//   auto faults = takeFaultOptions(args);          // removes what it knows
//   rejectUnknownOptions(args);                     // after the kind's own
//   FaultInjector inj(faults);
//   ... on every well-formed request:
//   auto plan = inj.nextExchange();
//   if (plan.silent) return;                        // device is dead
//   Bytes answer = buildAnswer(plan.wrongEcho);     // echo a wrong code
//   if (plan.corruptCheck) FaultInjector::breakCheck(answer);
//   if (plan.noiseBytes) out.send(inj.noise(plan.noiseBytes));
//   out.send(answer);
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/platform.h"

namespace kvr::sim {

using OptionArgs = std::vector<std::string>;

// --- small option helpers (throw std::invalid_argument on bad values) ---

// Removes "--name VALUE" (last one wins) and returns VALUE.
std::optional<std::string> takeOption(OptionArgs& args, const std::string& name);
// Removes every "--name VALUE" and returns the values in order.
std::vector<std::string> takeOptionAll(OptionArgs& args, const std::string& name);
// Removes "--name" and tells whether it was there.
bool takeFlag(OptionArgs& args, const std::string& name);
// Whole number in [min, max]; the option name goes into the error text.
long long parseInt(const std::string& text, const std::string& name, long long min, long long max);
// Same for an option that may be absent.
std::optional<long long> takeInt(OptionArgs& args, const std::string& name, long long min, long long max);
// Throws std::invalid_argument naming the first argument left over.
void rejectUnknownOptions(const OptionArgs& args);

// --- fault options ---

struct FaultOptions {
    int noise = 0;                  // noise bytes before every answer
    int corruptEvery = 0;           // 0: never; N: exchanges N, 2N, ... get a broken check
    int wrongEchoEvery = 0;         // 0: never; N: exchanges N, 2N, ... echo a wrong command
    std::optional<int> silentAfter; // answer K exchanges, then nothing more
    std::optional<int> cutAfter;    // bulk stream stops after F frames
    std::set<int> dropFrames;       // bulk frames (0-based) left out of the stream
    std::set<int> garbleFrames;     // bulk frames (0-based) sent with a damaged record
    std::uint64_t seed = 1;         // --seed: noise and generated data
};

// Takes --noise, --corrupt-every, --wrong-echo-every, --silent-after,
// --cut-after, --drop-frame (repeatable), --garble-frame (repeatable) and
// --seed out of args.
FaultOptions takeFaultOptions(OptionArgs& args);
// Help text for the options above, one per line, indented by two spaces.
std::string faultOptionsHelp();

class FaultInjector {
public:
    explicit FaultInjector(FaultOptions options);

    struct Plan {
        int exchange = 0;           // 1-based number of this exchange
        bool silent = false;        // give no answer at all (and do nothing)
        bool corruptCheck = false;  // break the check of the first answer frame
        bool wrongEcho = false;     // answer with a wrong command code
        int noiseBytes = 0;         // noise to send before the answer
    };
    // Called once per well-formed request the device would answer.
    Plan nextExchange();
    // Whether the device has gone silent (no more answers, no more streams).
    bool silent() const;

    // Random bytes that contain none of the frame markers 0x5E, 0x4E, 0x4F,
    // so that noise delays a receiver but never fakes a frame start.
    Bytes noise(int count);
    // Flips bits of the last byte (the frame check's high byte or an end
    // marker), so the frame fails its check however the check is computed.
    static void breakCheck(Bytes& frame);

    // Bulk streams: frame index is 0-based within one transfer.
    bool cutBefore(int frameIndex) const;
    bool dropFrame(int frameIndex) const;
    bool garbleFrame(int frameIndex) const;
    // Counts a fault that a device applied ("cut", "dropped", "garbled" ...).
    void note(const std::string& what);

    const FaultOptions& options() const { return o_; }
    std::mt19937_64& random() { return rng_; }
    // Options and counts of the faults applied, for the device's state.
    nlohmann::json state() const;

private:
    FaultOptions o_;
    std::mt19937_64 rng_;
    int exchanges_ = 0;
    nlohmann::json applied_ = nlohmann::json::object();
};

}  // namespace kvr::sim
