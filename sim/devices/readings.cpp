#include "sim/devices/readings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <stdexcept>

namespace kvr::sim {

using namespace std::chrono;

namespace {

const LocalTime kEpoch = local_days{year{2000} / January / 1};

// Table values of the voltage codes 0..15.
constexpr std::array<float, 16> kVoltTable{2.2f, 2.3f, 2.4f, 2.5f, 2.6f, 2.8f, 2.9f, 3.1f,
                                           3.4f, 3.5f, 3.6f, 3.8f, 4.1f, 997.f, 998.f, 999.f};

void put16(Record& r, int at, std::uint32_t v) {
    r[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    r[static_cast<std::size_t>(at) + 1] = static_cast<std::uint8_t>(v & 0xFF);
}
void put24(Record& r, int at, std::uint32_t v) {
    r[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>((v >> 16) & 0xFF);
    put16(r, at + 1, v & 0xFFFF);
}
void put32(Record& r, int at, std::uint32_t v) {
    r[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>((v >> 24) & 0xFF);
    put24(r, at + 1, v & 0xFFFFFF);
}

long clampRound(double v, long lo, long hi) { return std::clamp(std::lround(v), lo, hi); }

// Unit temperature as (b9 * 256 + b10) / 256, negative values stored + 256.
std::uint32_t unitTemp256(float t) {
    long v = clampRound(static_cast<double>(t) * 256.0, -32767, 32768);
    if (v < 0) v += 65536;
    return static_cast<std::uint32_t>(v);
}

// Sixteenths of a degree in the 11-bit form of the current layout: values
// above 90 degrees read as negative, so negatives are stored + 128 degrees.
std::uint32_t sixteenths(double t) {
    long v = clampRound(std::clamp(t, -37.9375, 90.0) * 16.0, -607, 1440);
    if (v < 0) v += 2048;
    return static_cast<std::uint32_t>(v);
}

float fromSixteenths(std::uint32_t v16) {
    float t = static_cast<float>(v16) / 16.0f;
    return t > 90.0f ? t - 128.0f : t;
}

std::uint32_t mix64(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ull;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
}

void fillPayload(Record& r, std::uint32_t salt) {
    for (int i = 3; i < 30; ++i) r[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(mix64(salt * 131u + static_cast<unsigned>(i)));
}

}  // namespace

std::int64_t deviceSeconds(LocalTime t) { return (t - kEpoch).count(); }
LocalTime fromDeviceSecondsSim(std::int64_t s) { return kEpoch + seconds{s}; }

std::string localText(LocalTime t) {
    auto day = floor<days>(t);
    year_month_day ymd{day};
    hh_mm_ss hms{t - day};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02ld:%02ld:%02lld", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
                  static_cast<long long>(hms.seconds().count()));
    return buf;
}

LocalTime localNow() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return local_days{year{tm.tm_year + 1900} / (tm.tm_mon + 1) / tm.tm_mday} + hours{tm.tm_hour} +
           minutes{tm.tm_min} + seconds{tm.tm_sec};
}

LocalTime parseLocalText(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char sep = 0;
    int n = std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%d", &y, &mo, &d, &sep, &h, &mi, &s);
    if (n < 3 || (n > 3 && n < 6) || (n >= 4 && sep != ' ' && sep != 'T'))
        throw std::invalid_argument("not a date-time (yyyy-mm-dd HH:MM[:SS]): '" + text + "'");
    year_month_day ymd{year{y} / mo / d};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
        throw std::invalid_argument("not a valid date-time: '" + text + "'");
    return local_days{ymd} + hours{h} + minutes{mi} + seconds{s};
}

// ---------------------------------------------------------------- generator

ReadingGenerator::ReadingGenerator(std::uint64_t seed, LocalTime now, int probeCount) : seed_(seed), now_(now) {
    std::mt19937_64 rng(seed * 0x2545F4914F6CDD1Dull + 7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    probeCount = std::max(probeCount, 1);
    std::vector<std::int32_t> used;
    for (int i = 0; i < probeCount; ++i) {
        ProbeProfile p;
        do {
            p.probe = 100 + static_cast<std::int32_t>(rng() % 9000);
        } while (std::find(used.begin(), used.end(), p.probe) != used.end());
        used.push_back(p.probe);
        p.intervalMinutes = (i % 3 == 2) ? 60 : 15;
        double surface = 14.0 + 10.0 * u(rng);
        for (int d = 0; d < 6; ++d) {
            // Deeper soil is closer to the yearly mean and swings less.
            p.meanT[static_cast<std::size_t>(d)] = surface + (16.0 - surface) * d / 6.0;
            p.swingT[static_cast<std::size_t>(d)] = (4.0 + 4.0 * u(rng)) * std::exp(-0.55 * d);
            p.baseSM[static_cast<std::size_t>(d)] = 12.0 + 20.0 * u(rng) + 2.0 * d;
            p.jumpSM[static_cast<std::size_t>(d)] = (6.0 + 10.0 * u(rng)) * std::exp(-0.35 * d);
        }
        p.irrigationHours = 48.0 + 48.0 * u(rng);
        p.irrigationPhase = p.irrigationHours * u(rng);
        p.sagPerDay = 0.001 + 0.003 * u(rng);
        if (i == 1) {
            p.voltsNow = 3.0 + 0.3 * u(rng);
            p.lowBattery = true;
        } else if (i == 3) {
            p.voltsNow = 2.0 + 0.15 * u(rng);
            p.lowBattery = true;
            p.deadBattery = true;
        } else {
            p.voltsNow = 3.5 + 0.5 * u(rng);
        }
        probes_.push_back(p);
    }
}

double ReadingGenerator::jitter(std::int64_t a, std::int64_t b, int c) const {
    std::uint64_t x = seed_ ^ (static_cast<std::uint64_t>(a) * 0x9E3779B97F4A7C15ull) ^
                      (static_cast<std::uint64_t>(b) * 0xBF58476D1CE4E5B9ull) ^ static_cast<std::uint64_t>(c + 17) * 0x94D049BB133111EBull;
    return (mix64(x) / 4294967295.0) * 2.0 - 1.0;
}

ProbeReading ReadingGenerator::readingAt(const ProbeProfile& p, LocalTime t) const {
    ProbeReading r;
    r.probe = p.probe;
    r.time = t;
    const std::int64_t secs = deviceSeconds(t);
    const double hour = static_cast<double>(((secs % 86400) + 86400) % 86400) / 3600.0;
    const double hoursTotal = static_cast<double>(secs) / 3600.0;
    double sinceIrrigation = std::fmod(hoursTotal - p.irrigationPhase, p.irrigationHours);
    if (sinceIrrigation < 0) sinceIrrigation += p.irrigationHours;
    constexpr double twoPi = 2.0 * std::numbers::pi;
    for (int d = 0; d < 6; ++d) {
        auto i = static_cast<std::size_t>(d);
        // The warmest hour comes later the deeper the sensor sits.
        double t0 = p.meanT[i] + p.swingT[i] * std::sin(twoPi * (hour - 9.0 - 2.5 * d) / 24.0) +
                    0.08 * jitter(p.probe, secs, d);
        double sm = p.baseSM[i] + p.jumpSM[i] * std::exp(-sinceIrrigation / (20.0 + 10.0 * d)) +
                    0.05 * jitter(p.probe, secs, d + 10);
        r.T[i] = static_cast<float>(t0);
        r.SM[i] = static_cast<float>(std::clamp(sm, 0.0, 100.0));
    }
    r.Temp = static_cast<float>(21.0 + 9.0 * std::sin(twoPi * (hour - 10.0) / 24.0) + 0.3 * jitter(p.probe, secs, 20));
    const double daysBefore = static_cast<double>((now_ - t).count()) / 86400.0;
    double volts = p.voltsNow + p.sagPerDay * daysBefore + 0.02 * jitter(p.probe, secs, 21);
    r.Volts = static_cast<float>(std::round(std::clamp(volts, 1.8, 4.1) * 10.0) / 10.0);
    const std::int64_t sample = secs / 60 / p.intervalMinutes;
    r.recNo = static_cast<std::int32_t>(sample & 0xFFFF);
    r.counter = static_cast<std::int32_t>((sample * 3 + p.probe) & 0xFFFF);
    r.pwrFail = 0;
    return r;
}

std::vector<ProbeReading> ReadingGenerator::generate(int count) const {
    std::vector<ProbeReading> out;
    if (count <= 0) return out;
    out.reserve(static_cast<std::size_t>(count));
    const std::int64_t nowMin = deviceSeconds(now_) / 60 - (deviceSeconds(now_) % 60 == 0 ? 1 : 0);
    std::vector<std::int64_t> next;  // newest grid minute not yet taken, per probe
    for (auto& p : probes_) next.push_back(nowMin - ((nowMin % p.intervalMinutes) + p.intervalMinutes) % p.intervalMinutes);
    while (static_cast<int>(out.size()) < count) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < probes_.size(); ++i)
            if (next[i] >= next[best]) best = i;
        out.push_back(readingAt(probes_[best], fromDeviceSecondsSim(next[best] * 60)));
        next[best] -= probes_[best].intervalMinutes;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------- encoders

std::uint16_t crc16(ByteSpan data, std::uint16_t crc) {
    for (auto b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

int voltCodeFor(float volts, bool pwrFail) {
    if (pwrFail) return 15;
    int best = 0;
    for (int c = 1; c < 13; ++c)
        if (std::fabs(kVoltTable[static_cast<std::size_t>(c)] - volts) < std::fabs(kVoltTable[static_cast<std::size_t>(best)] - volts)) best = c;
    return best;
}

void sealRecord(Record& r) {
    // The check goes low byte first, so a CRC run over all 32 bytes ends at 0.
    std::uint16_t c = crc16(ByteSpan(r.data(), 30));
    r[30] = static_cast<std::uint8_t>(c & 0xFF);
    r[31] = static_cast<std::uint8_t>(c >> 8);
}

Record encodeKind0(const ProbeReading& r, bool sealed) {
    Record b{};
    b[0] = 0x00;
    put16(b, 1, static_cast<std::uint32_t>(r.probe) & 0xFFFF);
    put16(b, 3, static_cast<std::uint32_t>(r.recNo) & 0xFFFF);
    put32(b, 5, static_cast<std::uint32_t>(deviceSeconds(r.time)));
    put16(b, 9, unitTemp256(r.Temp));
    b[11] = static_cast<std::uint8_t>((r.pwrFail ? 0x80 : 0) | clampRound(static_cast<double>(r.Volts) * 10.0, 0, 127));
    for (int i = 0; i < 6; ++i) {
        auto k = static_cast<std::size_t>(i);
        // 9-bit tenths; readings above 48.0 mean 50 less, so -1.9..-0.1 are stored + 50.
        long raw = clampRound(static_cast<double>(r.T[k]) * 10.0, -19, 480);
        if (raw < 0) raw += 500;
        long sm = clampRound(static_cast<double>(r.SM[k]) * 100.0, 0, 32767);
        b[12 + 3 * k] = static_cast<std::uint8_t>(raw & 0xFF);
        b[13 + 3 * k] = static_cast<std::uint8_t>(((raw >> 8) & 1) << 7 | ((sm >> 8) & 0x7F));
        b[14 + 3 * k] = static_cast<std::uint8_t>(sm & 0xFF);
    }
    if (sealed)
        sealRecord(b);
    else
        put16(b, 30, static_cast<std::uint32_t>(r.counter) & 0xFFFF);
    return b;
}

Record encodeKind1(const ProbeReading& r) {
    Record b{};
    b[0] = static_cast<std::uint8_t>(0x10 | voltCodeFor(r.Volts, r.pwrFail != 0));
    put16(b, 1, static_cast<std::uint32_t>(r.probe) & 0xFFFF);
    put24(b, 3, static_cast<std::uint32_t>(deviceSeconds(r.time) / 60) & 0xFFFFFF);
    put16(b, 6, static_cast<std::uint32_t>(r.recNo) & 0xFFFF);
    const std::uint32_t w = sixteenths(r.Temp) << 5;
    b[8] = static_cast<std::uint8_t>(w >> 8);
    std::uint8_t rangeBits = 0;
    std::uint32_t rangeOf4 = 0;
    for (int i = 0; i < 6; ++i) {
        auto k = static_cast<std::size_t>(i);
        std::uint32_t v = sixteenths(r.T[k]);
        if (i == 5 && ((v >> 10) & 1) != rangeOf4) {
            // The sixth sensor has no range bit of its own: keep it in the fifth's range.
            double t = r.T[k];
            if (rangeOf4 == 0)
                v = sixteenths(std::clamp(t, 0.0, 63.9375));
            else
                v = sixteenths(t >= 32.0 ? 64.0 : -0.0625);
        }
        const std::uint32_t hi = (v >> 10) & 1;
        if (i < 5) rangeBits = static_cast<std::uint8_t>(rangeBits | (hi << i));
        if (i == 4) rangeOf4 = hi;
        const std::uint32_t low10 = v & 0x3FF;
        const long sm = clampRound(static_cast<double>(r.SM[k]) * 100.0, 0, 16383);
        b[10 + 3 * k] = static_cast<std::uint8_t>(low10 >> 2);
        b[11 + 3 * k] = static_cast<std::uint8_t>(((low10 & 3) << 6) | ((sm >> 8) & 0x3F));
        b[12 + 3 * k] = static_cast<std::uint8_t>(sm & 0xFF);
    }
    b[9] = static_cast<std::uint8_t>((w & 0xE0) | rangeBits);
    put16(b, 28, static_cast<std::uint32_t>(r.counter) & 0xFFFF);
    sealRecord(b);
    return b;
}

Record encodeKind2(const ProbeReading& r) {
    Record b{};
    b[0] = static_cast<std::uint8_t>(0x20 | voltCodeFor(r.Volts, r.pwrFail != 0));
    put16(b, 1, static_cast<std::uint32_t>(r.probe) & 0xFFFF);
    put24(b, 3, static_cast<std::uint32_t>(deviceSeconds(r.time) / 60) & 0xFFFFFF);
    put16(b, 6, static_cast<std::uint32_t>(r.recNo) & 0xFFFF);
    put16(b, 28, static_cast<std::uint32_t>(r.counter) & 0xFFFF);
    sealRecord(b);
    return b;
}

Record encodeProbeSettings(std::int32_t probe, std::uint32_t salt) {
    Record b{};
    b[0] = 0x40;
    put16(b, 1, static_cast<std::uint32_t>(probe) & 0xFFFF);
    fillPayload(b, salt);
    sealRecord(b);
    return b;
}

Record encodeRepeaterSettings(std::int32_t probe, std::uint32_t salt) {
    Record b{};
    b[0] = 0x50;
    put16(b, 1, static_cast<std::uint32_t>(probe) & 0xFFFF);
    fillPayload(b, salt);
    sealRecord(b);
    return b;
}

Record encodeUnknownKind(int kind, std::int32_t probe, std::uint32_t salt) {
    if (kind != 3 && (kind < 6 || kind > 15)) throw std::invalid_argument("not an undefined record kind");
    Record b{};
    b[0] = static_cast<std::uint8_t>((kind << 4) | (salt & 0x0F));
    put16(b, 1, static_cast<std::uint32_t>(probe) & 0xFFFF);
    fillPayload(b, salt);
    sealRecord(b);
    return b;
}

Record withBadCheck(Record r) {
    r[30] ^= 0x5A;
    // A record starting with 0 and a probe number has its check waived when
    // read one by one; mark it as kind 1 so the bad check always shows.
    if (r[0] == 0 && (r[1] | r[2]) != 0) r[0] = 0x1A;
    return r;
}

Record zeroRecord() { return Record{}; }

Record blankRecord() {
    Record r;
    r.fill(0xFF);
    return r;
}

ProbeReading quantizeKind0(const ProbeReading& r) {
    ProbeReading q = r;
    Record b = encodeKind0(r, true);
    q.Temp = static_cast<float>(b[9] * 256 + b[10]) / 256.0f;
    if (q.Temp > 128.0f) q.Temp -= 256.0f;
    q.pwrFail = static_cast<std::uint8_t>(b[11] >> 7);
    q.Volts = static_cast<float>(b[11] & 0x7F) / 10.0f;
    for (std::size_t i = 0; i < 6; ++i) {
        int raw = ((b[13 + 3 * i] >> 7) << 8) | b[12 + 3 * i];
        q.T[i] = static_cast<float>(raw) / 10.0f;
        if (q.T[i] > 48.0f) q.T[i] -= 50.0f;
        q.SM[i] = static_cast<float>((b[13 + 3 * i] & 0x7F) * 256 + b[14 + 3 * i]) / 100.0f;
    }
    q.counter = b[30] * 256 + b[31];
    return q;
}

ProbeReading quantizeKind1(const ProbeReading& r) {
    ProbeReading q = r;
    Record b = encodeKind1(r);
    q.time = fromDeviceSecondsSim(deviceSeconds(r.time) / 60 * 60);
    q.Volts = kVoltTable[b[0] & 0x0F];
    q.pwrFail = (b[0] & 0x0F) == 15 ? 1 : 0;
    q.Temp = fromSixteenths(static_cast<std::uint32_t>((b[8] << 8 | b[9]) >> 5));
    for (std::size_t i = 0; i < 6; ++i) {
        std::uint32_t low10 = static_cast<std::uint32_t>(b[10 + 3 * i] << 2 | b[11 + 3 * i] >> 6);
        std::uint32_t bit = (b[9] >> std::min<std::size_t>(i, 4)) & 1;
        q.T[i] = fromSixteenths(low10 | bit << 10);
        q.SM[i] = static_cast<float>(((b[11 + 3 * i] & 0x3F) << 8) | b[12 + 3 * i]) / 100.0f;
    }
    q.counter = r.counter & 0xFFFF;
    q.recNo = r.recNo & 0xFFFF;
    return q;
}

Record encodeLoggerRecord(const ProbeReading& r) {
    Record b{};
    put24(b, 0, static_cast<std::uint32_t>(r.probe) & 0xFFFFFF);
    put16(b, 3, static_cast<std::uint32_t>(r.recNo) & 0xFFFF);
    put32(b, 5, static_cast<std::uint32_t>(deviceSeconds(r.time)));
    put16(b, 9, unitTemp256(r.Temp));
    b[11] = static_cast<std::uint8_t>(clampRound(static_cast<double>(r.Volts) * 10.0, 0, 127));
    for (int i = 0; i < 6; ++i) {
        auto k = static_cast<std::size_t>(i);
        // 9 bits of tenths cover 0..51.1; the reader moves values by 50
        // degrees according to the unit temperature.
        long raw = std::lround(static_cast<double>(r.T[k]) * 10.0);
        if (raw < 0) raw += 500;
        if (raw > 511) raw -= 500;
        raw = std::clamp(raw, 0L, 511L);
        long sm = clampRound(static_cast<double>(r.SM[k]) * 100.0, 0, 32767);
        b[12 + 3 * k] = static_cast<std::uint8_t>(raw & 0xFF);
        b[13 + 3 * k] = static_cast<std::uint8_t>(((raw >> 8) & 1) << 7 | ((sm >> 8) & 0x7F));
        b[14 + 3 * k] = static_cast<std::uint8_t>(sm & 0xFF);
    }
    put16(b, 30, static_cast<std::uint32_t>(r.counter) & 0xFFFF);
    return b;
}

Record emptyLoggerRecord() { return blankRecord(); }

// ---------------------------------------------------------------- mixes

const char* recordSortName(RecordSort s) {
    static const char* const names[kRecordSorts] = {"k0", "k1", "k2", "settings", "repeater", "unknown", "badcheck", "zero"};
    return names[static_cast<int>(s)];
}

RecordMix RecordMix::parse(const std::string& text) {
    RecordMix m;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) continue;
        auto eq = item.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("--records-mix: expected name=weight, got '" + item + "'");
        std::string name = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        char* stop = nullptr;
        double w = std::strtod(value.c_str(), &stop);
        if (value.empty() || *stop != '\0' || !(w >= 0) || !std::isfinite(w))
            throw std::invalid_argument("--records-mix: bad weight '" + value + "'");
        int found = -1;
        for (int s = 0; s < kRecordSorts; ++s)
            if (name == recordSortName(static_cast<RecordSort>(s))) found = s;
        if (found < 0) throw std::invalid_argument("--records-mix: unknown record sort '" + name + "'");
        m.weight[static_cast<std::size_t>(found)] = w;
    }
    double sum = 0;
    for (double w : m.weight) sum += w;
    if (sum <= 0) throw std::invalid_argument("--records-mix: all weights are 0");
    return m;
}

RecordMix RecordMix::onlyKind1() {
    RecordMix m;
    m.weight[static_cast<std::size_t>(RecordSort::Kind1)] = 1;
    return m;
}

RecordMix RecordMix::realistic() {
    return parse("k0=0.08,k1=0.8,k2=0.04,settings=0.03,repeater=0.02,unknown=0.01,badcheck=0.01,zero=0.01");
}

RecordSort RecordMix::pick(std::mt19937_64& rng) const {
    std::discrete_distribution<int> d(weight.begin(), weight.end());
    return static_cast<RecordSort>(d(rng));
}

std::vector<GeneratedRecord> makeRecords(const ReadingGenerator& gen, const RecordMix& mix, int count,
                                         std::mt19937_64& rng) {
    std::vector<GeneratedRecord> out;
    for (auto& reading : gen.generate(count)) {
        GeneratedRecord g;
        g.sort = mix.pick(rng);
        g.reading = reading;
        auto salt = static_cast<std::uint32_t>(rng());
        switch (g.sort) {
            case RecordSort::Kind0: g.bytes = encodeKind0(reading); break;
            case RecordSort::Kind1: g.bytes = encodeKind1(reading); break;
            case RecordSort::Kind2: g.bytes = encodeKind2(reading); break;
            case RecordSort::ProbeSettings: g.bytes = encodeProbeSettings(reading.probe, salt); break;
            case RecordSort::RepeaterSettings: g.bytes = encodeRepeaterSettings(reading.probe, salt); break;
            case RecordSort::Unknown: {
                static constexpr int kinds[] = {3, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
                g.bytes = encodeUnknownKind(kinds[salt % 11], reading.probe, salt);
                break;
            }
            case RecordSort::BadCheck: g.bytes = withBadCheck(encodeKind1(reading)); break;
            case RecordSort::Zero: g.bytes = zeroRecord(); break;
        }
        out.push_back(g);
    }
    return out;
}

std::string hexOf(const Record& r) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (auto b : r) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

}  // namespace kvr::sim
