#include "sim/devices/probe_server.h"

#include <algorithm>
#include <stdexcept>

namespace kvr::sim {

namespace {

constexpr std::uint8_t kStart = 0x5E;
// The longest request of the protocol has 9 bytes after the length byte;
// a larger length is noise that happens to contain a start byte.
constexpr int kMaxRequestL = 32;

std::int32_t unitsOf(LocalTime t) {
    // 15-second units, rounded to nearest (a whole second is never a tie).
    std::int64_t s = deviceSeconds(t);
    std::int64_t q = s / 15, r = s % 15;
    if (r < 0) {
        r += 15;
        --q;
    }
    return static_cast<std::int32_t>(q + (r * 2 > 15 ? 1 : 0));
}

std::string unitsText(std::int32_t units) {
    return localText(fromDeviceSecondsSim(static_cast<std::int64_t>(units) * 15));
}

void push16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
}
void push32(Bytes& b, std::uint32_t v) {
    push16(b, v >> 16);
    push16(b, v & 0xFFFF);
}

int wrap(long long pos, int slots) {
    long long r = pos % slots;
    return static_cast<int>(r < 0 ? r + slots : r);
}

}  // namespace

ProbeServerOptions parseProbeServerOptions(std::vector<std::string> args) {
    ProbeServerOptions o;
    o.faults = takeFaultOptions(args);
    if (auto v = takeInt(args, "--slots", 1, 65535)) o.slots = static_cast<int>(*v);
    if (auto v = takeInt(args, "--next", 0, 65535)) o.next = static_cast<int>(*v);
    if (auto v = takeInt(args, "--end", 0, 65535)) o.end = static_cast<int>(*v);
    const auto count = takeInt(args, "--count", 0, 65535);
    if (count) o.count = static_cast<int>(*count);
    if (auto v = takeInt(args, "--num", 0, 65535)) o.numReadings = static_cast<int>(*v);
    if (auto v = takeInt(args, "--report-end", 0, 65535)) o.reportEnd = static_cast<int>(*v);
    if (auto v = takeInt(args, "--probes", 1, 200)) o.probes = static_cast<int>(*v);
    if (auto v = takeInt(args, "--clock", 0, 0x7FFFFFFF)) o.clockUnits = static_cast<std::int32_t>(*v);
    if (auto v = takeInt(args, "--address", 0, 0xFFFF)) o.address = static_cast<std::uint16_t>(*v);
    if (auto v = takeInt(args, "--frame-gap-ms", 0, 10000)) o.frameGapMs = static_cast<int>(*v);
    if (auto v = takeOption(args, "--records-mix")) o.mix = RecordMix::parse(*v);
    if (auto v = takeOption(args, "--now")) o.now = parseLocalText(*v);
    if (auto v = takeOption(args, "--clock-time")) o.clockUnits = unitsOf(parseLocalText(*v));
    rejectUnknownOptions(args);
    if (o.next >= o.slots) throw std::invalid_argument("--next must be below --slots");
    if (o.end && *o.end >= o.slots) throw std::invalid_argument("--end must be below --slots");
    if (!count) o.count = std::min(o.count, o.slots - 1);  // the default fits any ring
    if (!o.end && o.count >= o.slots) throw std::invalid_argument("--count must be below --slots");
    return o;
}

std::string probeServerHelp() {
    return "  A probe server with a ring of 32-byte records. Answers status (0x10),\n"
           "  record read (0x13), bulk download (0x04, then 36-byte frames 'N' hi lo\n"
           "  record 'O' numbered 0..NumReadings-1 from the requested position,\n"
           "  wrapping at RecordSlots), set clock (0x0A) and clear (0x09: NextRecord =\n"
           "  EndRecord, NumReadings = 0). Requests failing any check (start 0x5E,\n"
           "  address FFFF or own, length, direction 00, CRC) get no answer.\n"
           "  --slots N             RecordSlots, ring size (default 2000)\n"
           "  --next N              NextRecord (default 0)\n"
           "  --end N               EndRecord (default NextRecord + --count, wrapped)\n"
           "  --count N             new records when --end is not given (default 50, at most slots-1)\n"
           "  --num N               NumReadings to report instead of the ring distance\n"
           "  --report-end N        EndRecord to report instead of the real one (may lie outside the ring)\n"
           "  --records-mix LIST    weights of record sorts, e.g. k1=0.8,k0=0.1,k2=0.05,\n"
           "                        settings=0.02,repeater=0.01,unknown=0.01,badcheck=0.005,\n"
           "                        zero=0.005 (default k1=1)\n"
           "  --probes N            number of probes in the generated readings (default 6)\n"
           "  --now 'Y-M-D H:M'     readings end before this time (default: now)\n"
           "  --clock UNITS         clock reported by status, 15-s units (default: --now)\n"
           "  --clock-time 'Y-M-D H:M[:S]'  the same clock as a local date-time\n"
           "  --address N           the server's address in answers (default 0x0001)\n"
           "  --frame-gap-ms N      pause between bulk frames (default 0)\n" +
           faultOptionsHelp() +
           "  State: clock (set value in units and as local time), cleared/clearCount,\n"
           "  requests per command, sentPositions (ring position -> times sent),\n"
           "  bulkStarts, status values, ring (hex of every record), fresh (the new\n"
           "  records with position and sort), lineSettings, faults.\n";
}

ProbeServer::ProbeServer(ProbeServerOptions options) : o_(std::move(options)), faults_(o_.faults) {
    if (o_.now == LocalTime{}) o_.now = localNow();
    const int slots = o_.slots;
    next_ = o_.next;
    end_ = o_.end ? *o_.end : wrap(static_cast<long long>(o_.next) + o_.count, slots);
    const int fresh = wrap(static_cast<long long>(end_) - next_, slots);
    num_ = o_.numReadings ? *o_.numReadings : fresh;
    clockBase_ = o_.clockUnits ? *o_.clockUnits : unitsOf(o_.now);

    // The whole ring holds readings, oldest at EndRecord; the newest
    // `fresh` of them, from NextRecord on, have not been collected yet.
    ReadingGenerator gen(o_.faults.seed, o_.now, o_.probes);
    std::mt19937_64 rng(o_.faults.seed + 0x51ED);
    auto all = makeRecords(gen, o_.mix, slots, rng);
    ring_.assign(static_cast<std::size_t>(slots), blankRecord());
    for (int i = 0; i < slots; ++i) ring_[static_cast<std::size_t>(wrap(static_cast<long long>(end_) + i, slots))] = all[static_cast<std::size_t>(i)].bytes;
    fresh_.assign(all.end() - fresh, all.end());
}

void ProbeServer::lineSettingsChanged(const std::string& settings) { lineChanges_.push_back(settings); }

Bytes ProbeServer::answerFrame(std::uint8_t command, const Bytes& data) const {
    // Sized up front and filled in place: GCC 12 sees a false out-of-bounds
    // copy in an insert after push_backs in optimised builds.
    Bytes f(data.size() + 6);
    f[0] = kStart;
    f[1] = static_cast<std::uint8_t>(o_.address >> 8);
    f[2] = static_cast<std::uint8_t>(o_.address & 0xFF);
    f[3] = static_cast<std::uint8_t>(data.size() + 2);
    f[4] = 0x01;
    f[5] = command;
    std::copy(data.begin(), data.end(), f.begin() + 6);
    std::uint16_t c = crc16(ByteSpan(f).subspan(1));
    f.push_back(static_cast<std::uint8_t>(c & 0xFF));
    f.push_back(static_cast<std::uint8_t>(c >> 8));
    return f;
}

void ProbeServer::receive(ByteSpan data, SimOutput& out) {
    in_.insert(in_.end(), data.begin(), data.end());
    for (;;) {
        auto start = std::find(in_.begin(), in_.end(), kStart);
        in_.erase(in_.begin(), start);  // bytes outside a frame (the leading 0x00, noise)
        if (in_.size() < 4) return;
        const int L = in_[3];
        auto reject = [&] {
            ++counts_["rejected"];
            in_.erase(in_.begin());  // look for a later start byte
        };
        if (L < 2 || L > kMaxRequestL) {
            reject();
            continue;
        }
        const std::size_t total = static_cast<std::size_t>(L) + 6;
        if (in_.size() < total) return;
        Bytes frame(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(total));
        const bool addressOk = (frame[1] == 0xFF && frame[2] == 0xFF) ||
                               (frame[1] == (o_.address >> 8) && frame[2] == (o_.address & 0xFF));
        const bool crcOk = crc16(ByteSpan(frame).subspan(1)) == 0;
        if (!addressOk || frame[4] != 0x00 || !crcOk) {
            reject();
            continue;
        }
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(total));
        handle(frame, out);
    }
}

void ProbeServer::answer(std::uint8_t command, const Bytes& data, const FaultInjector::Plan& plan, SimOutput& out) {
    // A wrong echo keeps a correct check, so only the echo is at fault.
    Bytes f = answerFrame(plan.wrongEcho ? static_cast<std::uint8_t>(command ^ 0x01) : command, data);
    if (plan.corruptCheck) FaultInjector::breakCheck(f);
    if (plan.noiseBytes > 0) {
        Bytes n = faults_.noise(plan.noiseBytes);
        n.insert(n.end(), f.begin(), f.end());
        f = std::move(n);
    }
    out.send(std::move(f));
}

void ProbeServer::handle(const Bytes& frame, SimOutput& out) {
    const std::uint8_t cmd = frame[5];
    const int params = frame[3] - 2;
    auto param = [&](int i) { return static_cast<std::uint32_t>(frame[6 + static_cast<std::size_t>(i)]); };
    auto expect = [&](const char* name, int n) {
        ++counts_[name];
        if (params != n) {
            ++counts_["badParameters"];
            return false;
        }
        return true;
    };
    // The device executes a command even when its answer is damaged on the
    // way back: the program then retries a command that already took effect.
    switch (cmd) {
        case 0x10: {
            if (!expect("status", 1)) return;
            auto plan = faults_.nextExchange();
            if (plan.silent) return;
            Bytes d{0x05, 0x01, static_cast<std::uint8_t>(o_.address >> 8), static_cast<std::uint8_t>(o_.address & 0xFF)};
            push32(d, static_cast<std::uint32_t>(clockBase_));
            push16(d, static_cast<std::uint32_t>(o_.reportEnd.value_or(end_)));
            push16(d, static_cast<std::uint32_t>(next_));
            push16(d, static_cast<std::uint32_t>(o_.slots));
            push16(d, static_cast<std::uint32_t>(num_));
            answer(cmd, d, plan, out);
            return;
        }
        case 0x13: {
            if (!expect("read", 2)) return;
            auto plan = faults_.nextExchange();
            if (plan.silent) return;
            const int pos = static_cast<int>(param(0) << 8 | param(1));
            Bytes d{static_cast<std::uint8_t>(pos >> 8), static_cast<std::uint8_t>(pos & 0xFF)};
            const Record& r = pos < o_.slots ? ring_[static_cast<std::size_t>(pos)] : blankRecord();
            d.insert(d.end(), r.begin(), r.end());
            ++sentPositions_[pos];
            answer(cmd, d, plan, out);
            return;
        }
        case 0x04: {
            if (!expect("bulk", 7)) return;
            auto plan = faults_.nextExchange();
            if (plan.silent) return;
            bulkTime_ = static_cast<std::int32_t>(param(0) << 24 | param(1) << 16 | param(2) << 8 | param(3));
            const int start = static_cast<int>(param(4) << 8 | param(5));
            bulkStarts_.push_back(start);
            answer(cmd, {}, plan, out);
            streamBulk(start, out);
            return;
        }
        case 0x0A: {
            if (!expect("setClock", 4)) return;
            auto plan = faults_.nextExchange();
            if (plan.silent) return;
            clockSet_ = static_cast<std::int32_t>(param(0) << 24 | param(1) << 16 | param(2) << 8 | param(3));
            clockBase_ = *clockSet_;
            answer(cmd, {}, plan, out);
            return;
        }
        case 0x09: {
            if (!expect("clear", 0)) return;
            auto plan = faults_.nextExchange();
            if (plan.silent) return;
            next_ = end_;
            num_ = 0;
            ++clearCount_;
            answer(cmd, {}, plan, out);
            return;
        }
        default:
            ++counts_["ignored"];
            return;
    }
}

void ProbeServer::streamBulk(int start, SimOutput& out) {
    for (int i = 0; i < num_; ++i) {
        if (faults_.cutBefore(i)) {
            faults_.note("streamCut");
            return;
        }
        if (faults_.dropFrame(i)) {
            faults_.note("framesDropped");
            continue;
        }
        const int pos = wrap(static_cast<long long>(start) + i, o_.slots);
        Record r = ring_[static_cast<std::size_t>(pos)];
        if (faults_.garbleFrame(i)) {
            r[5] ^= 0x21;  // a damaged byte inside the record: its check fails
            faults_.note("framesGarbled");
        }
        Bytes f{0x4E, static_cast<std::uint8_t>((i >> 8) & 0xFF), static_cast<std::uint8_t>(i & 0xFF)};
        f.insert(f.end(), r.begin(), r.end());
        f.push_back(0x4F);
        ++sentPositions_[pos];
        out.send(std::move(f), o_.frameGapMs);
    }
}

nlohmann::json ProbeServer::state() const {
    nlohmann::json j;
    j["kind"] = "server";
    j["clock"] = {{"units", clockBase_},
                  {"text", unitsText(clockBase_)},
                  {"set", clockSet_.has_value()},
                  {"setUnits", clockSet_ ? nlohmann::json(*clockSet_) : nlohmann::json()},
                  {"setText", clockSet_ ? nlohmann::json(unitsText(*clockSet_)) : nlohmann::json()}};
    j["bulkTime"] = bulkTime_ ? nlohmann::json{{"units", *bulkTime_}, {"text", unitsText(*bulkTime_)}} : nlohmann::json();
    j["cleared"] = clearCount_ > 0;
    j["clearCount"] = clearCount_;
    nlohmann::json req = nlohmann::json::object();
    for (const char* k : {"status", "read", "bulk", "setClock", "clear", "ignored", "rejected", "badParameters"})
        req[k] = counts_.count(k) ? counts_.at(k) : 0;
    j["requests"] = req;
    j["status"] = {{"EndRecord", end_}, {"NextRecord", next_}, {"RecordSlots", o_.slots}, {"NumReadings", num_}};
    nlohmann::json sent = nlohmann::json::object();
    for (auto& [pos, n] : sentPositions_) sent[std::to_string(pos)] = n;
    j["sentPositions"] = sent;
    j["bulkStarts"] = bulkStarts_;
    nlohmann::json ring = nlohmann::json::array();
    for (auto& r : ring_) ring.push_back(hexOf(r));
    j["ring"] = ring;
    nlohmann::json fresh = nlohmann::json::array();
    const int first = wrap(static_cast<long long>(end_) - static_cast<long long>(fresh_.size()), o_.slots);
    for (std::size_t i = 0; i < fresh_.size(); ++i)
        fresh.push_back({{"position", wrap(first + static_cast<long long>(i), o_.slots)},
                         {"sort", recordSortName(fresh_[i].sort)},
                         {"hex", hexOf(fresh_[i].bytes)}});
    j["fresh"] = fresh;
    j["lineSettings"] = lineChanges_;
    j["faults"] = faults_.state();
    return j;
}

}  // namespace kvr::sim
