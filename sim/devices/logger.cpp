#include "sim/devices/logger.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <stdexcept>

#include "core/devtime.h"

namespace kvr::sim {

namespace {

using Rec = std::array<std::uint8_t, 32>;
using Block = std::array<std::uint8_t, 128>;

Block erased() {
    Block b;
    b.fill(0xFF);
    return b;
}

LocalTime presentLocalTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return makeLocal(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

LocalTime parseWhen(const std::string& text, const std::string& name) {
    // "yyyy-mm-dd HH:MM:SS" (or with "T")
    int y, mo, d, h = 0, mi = 0, s = 0;
    char sep = ' ';
    int n = std::sscanf(text.c_str(), "%d-%d-%d%c%d:%d:%d", &y, &mo, &d, &sep, &h, &mi, &s);
    if (n != 3 && n < 6) throw std::invalid_argument(name + ": expected \"yyyy-mm-dd HH:MM:SS\", got '" + text + "'");
    return makeLocal(y, mo, d, h, mi, s);
}

void put24(std::uint8_t* p, std::int32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 16);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v);
}

// "yyyy/mm/dd HH:MM:SS", as Otter's rows and the state file give times.
std::string stamp(LocalTime t) {
    const auto day = std::chrono::floor<std::chrono::days>(t);
    const std::chrono::year_month_day ymd{day};
    const std::chrono::hh_mm_ss hms{t - day};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d/%02u/%02u %02d:%02d:%02d", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                  static_cast<int>(hms.seconds().count()));
    return buf;
}

// Fixed-point text of value / 10^decimals with at least `digits` digits
// before the point: made from whole numbers, so it is exact by construction
// and independent of how the program rounds its floating-point values.
std::string fixed(int value, int digits, int decimals) {
    int scale = 1;
    for (int i = 0; i < decimals; ++i) scale *= 10;
    const int a = value < 0 ? -value : value;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%0*d.%0*d", value < 0 ? "-" : "", digits, a / scale, decimals, a % scale);
    return buf;
}

// One reading as the logger stores it, and the row a correct download of it
// writes in Otter's running file. Temperatures below 0 or from 51.2 up are
// stored shifted by 50 degrees; the unit temperature tells the reader which
// way, so the values are chosen so that the unit temperature and the shift
// agree.
struct Made {
    Rec bytes{};
    std::string row;
};

enum class Climate { Normal, Cold, Hot };

Made makeReading(std::mt19937_64& rng, std::int32_t probe, LocalTime when, Climate climate) {
    auto uni = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    Made m;
    char probeText[16];
    std::snprintf(probeText, sizeof probeText, "%05d", probe);
    m.row = std::string(probeText) + ", " + stamp(when);
    int unit256;  // unit temperature in 1/256 degree
    switch (climate) {
        case Climate::Cold: unit256 = uni(-3 * 256, 4 * 256); break;
        case Climate::Hot: unit256 = uni(41 * 256, 60 * 256); break;
        default: unit256 = uni(10 * 256, 35 * 256); break;
    }
    const int unitRaw = unit256 < 0 ? unit256 + 65536 : unit256;
    const int volts10 = uni(25, 42);

    Rec& b = m.bytes;
    put24(&b[0], probe);
    b[3] = static_cast<std::uint8_t>(uni(0, 255));
    b[4] = static_cast<std::uint8_t>(uni(0, 255));
    const auto stamp = static_cast<std::uint32_t>(toDeviceSeconds(when));
    b[5] = static_cast<std::uint8_t>(stamp >> 24);
    b[6] = static_cast<std::uint8_t>(stamp >> 16);
    b[7] = static_cast<std::uint8_t>(stamp >> 8);
    b[8] = static_cast<std::uint8_t>(stamp);
    b[9] = static_cast<std::uint8_t>(unitRaw >> 8);
    b[10] = static_cast<std::uint8_t>(unitRaw);
    b[11] = static_cast<std::uint8_t>(volts10 | (uni(0, 1) << 7));  // top bit means nothing here
    for (int i = 0; i < 6; ++i) {
        int tenths;
        if (climate == Climate::Cold)
            tenths = i == 0 ? uni(-199, -1) : uni(0, 300);
        else if (climate == Climate::Hot)
            tenths = i == 1 ? uni(500, 599) : uni(100, 499);
        else
            tenths = uni(50, 350);
        const int stored = tenths < 0 ? tenths + 500 : tenths >= 500 ? tenths - 500 : tenths;
        const int sm = uni(500, 4500);
        m.row += ", " + fixed(tenths, 2, 1) + ", " + fixed(sm, 3, 2);
        b[static_cast<std::size_t>(12 + 3 * i)] = static_cast<std::uint8_t>(stored & 0xFF);
        b[static_cast<std::size_t>(13 + 3 * i)] = static_cast<std::uint8_t>(((stored >> 8) << 7) | (sm >> 8));
        b[static_cast<std::size_t>(14 + 3 * i)] = static_cast<std::uint8_t>(sm & 0xFF);
    }
    b[30] = static_cast<std::uint8_t>(uni(0, 255));
    b[31] = static_cast<std::uint8_t>(uni(0, 255));
    m.row += ", " + fixed(volts10, 1, 1) + "\r\n";
    return m;
}

Climate climateFor(int i) {
    if (i % 7 == 3) return Climate::Cold;
    if (i % 11 == 5) return Climate::Hot;
    return Climate::Normal;
}

Bytes frame(const std::vector<std::uint8_t>& data) {
    // Sized up front and filled in place: GCC 12 sees a false out-of-bounds
    // copy in an insert after push_backs in optimised builds.
    Bytes f(data.size() + 6);
    f[0] = 0x5E;
    f[1] = 0xFF;
    f[2] = 0xFF;
    f[3] = 0xFF;
    f[4] = static_cast<std::uint8_t>(data.size() + 9);
    f[5] = 0x01;
    std::copy(data.begin(), data.end(), f.begin() + 6);
    std::uint32_t s = 0;
    for (std::size_t i = 1; i < f.size(); ++i) s += f[i];
    f.push_back(static_cast<std::uint8_t>(s >> 8));
    f.push_back(static_cast<std::uint8_t>(s & 0xFF));
    f.push_back(0x5F);
    return f;
}

const char* typeName(LoggerOptions::Type t) {
    switch (t) {
        case LoggerOptions::Type::Extended: return "extended";
        case LoggerOptions::Type::Server: return "server";
        default: return "ordinary";
    }
}

}  // namespace

LoggerOptions parseLoggerOptions(const std::vector<std::string>& argsIn) {
    OptionArgs args = argsIn;
    LoggerOptions o;
    o.faults = takeFaultOptions(args);
    if (auto t = takeOption(args, "--type")) {
        if (*t == "ordinary")
            o.type = LoggerOptions::Type::Ordinary;
        else if (*t == "extended")
            o.type = LoggerOptions::Type::Extended;
        else if (*t == "server")
            o.type = LoggerOptions::Type::Server;
        else
            throw std::invalid_argument("--type: ordinary, extended or server, not '" + *t + "'");
    }
    if (auto v = takeInt(args, "--readings", 0, 30000)) o.readings = static_cast<int>(*v);
    if (auto v = takeInt(args, "--probes", 1, 56)) o.probes = static_cast<int>(*v);
    if (auto v = takeInt(args, "--probe-max", 1000, 199999)) o.probeMax = static_cast<int>(*v);
    if (auto v = takeInt(args, "--slots", 1, 65535)) o.slots = static_cast<int>(*v);
    if (auto v = takeInt(args, "--next", 0, 65535)) o.next = static_cast<int>(*v);
    if (auto v = takeInt(args, "--version-byte", 100, 254)) o.versionByte = static_cast<int>(*v);
    if (auto v = takeOption(args, "--firmware")) {
        int a = 0, b = 0;
        if (std::sscanf(v->c_str(), "%d.%d", &a, &b) != 2 || a < 0 || a > 255 || b < 0 || b > 99)
            throw std::invalid_argument("--firmware: expected N.NN, got '" + *v + "'");
        o.firmwareMajor = a;
        o.firmwareMinor = b;
    }
    if (auto v = takeOption(args, "--now")) o.now = parseWhen(*v, "--now");
    if (auto v = takeOption(args, "--clock")) o.clock = parseWhen(*v, "--clock");
    o.orphanBlock = takeFlag(args, "--orphan-block");
    o.noHighSpeed = takeFlag(args, "--no-high-speed");
    o.modemZero = takeFlag(args, "--modem-zero");
    o.modemEcho = takeFlag(args, "--modem-echo");
    if (auto v = takeInt(args, "--bad-length-every", 0, 1000000)) o.badLengthEvery = static_cast<int>(*v);
    if (auto v = takeInt(args, "--reply-delay", 0, 60000)) o.replyDelayMs = *v;
    rejectUnknownOptions(args);
    if (o.type != LoggerOptions::Type::Ordinary && o.readings >= o.slots)
        throw std::invalid_argument("--readings must be below --slots for a ring");
    if (o.next && *o.next >= o.slots) throw std::invalid_argument("--next must be below --slots");
    return o;
}

std::string loggerOptionsHelp() {
    return "  --type ordinary|extended|server   ordinary: data blocks behind probe headers (version 255);\n"
           "                        extended: ring from block 64; server: \"NVA4-SVR\" layout, ring from block 8\n"
           "  --readings N          records to collect (default 30)\n"
           "  --probes N            probes that reported (default 3)\n"
           "  --probe-max N         largest probe number (1000..199999, default 199999; 65535\n"
           "                        keeps records readable in the probe-server record layout)\n"
           "  --slots N             ring size (default 64)\n"
           "  --next N              ring position of the first record to collect (default slots - 6)\n"
           "  --version-byte N      extended logger version byte 100..254 (default 120)\n"
           "  --firmware N.NN       server layout firmware version (default 4.12)\n"
           "  --now \"yyyy-mm-dd HH:MM:SS\"    readings are dated before this (default: present time)\n"
           "  --clock \"yyyy-mm-dd HH:MM:SS\"  the logger's clock (default: --now)\n"
           "  --orphan-block        ordinary: a data block before the first probe header\n"
           "  --no-high-speed       acknowledge 56000 baud but stay at 9600\n"
           "  --modem-zero          answer every request with 0x5E 0x00 (one zero byte after the start marker)\n"
           "  --modem-echo          echo every request unchanged\n"
           "  --bad-length-every N  answers N, 2N, ... announce 4 bytes more than they carry\n"
           "  --reply-delay MS      delay before each answer (default 5)\n" +
           faultOptionsHelp();
}

Logger::Logger(LoggerOptions options) : o_(std::move(options)), inj_(o_.faults) { build(); }

std::array<std::uint8_t, 128> Logger::block(int n) const {
    auto it = blocks_.find(n);
    return it == blocks_.end() ? erased() : it->second;
}

std::int32_t Logger::numReadings() const {
    if (o_.type == LoggerOptions::Type::Ordinary) return dataBlocks_;
    if (o_.slots <= 0) return 0;
    return ((end_ - next_) % o_.slots + o_.slots) % o_.slots;
}

void Logger::setRing(std::int32_t next, std::int32_t end, std::int32_t slots) {
    next_ = next;
    end_ = end;
    o_.slots = slots;
}

void Logger::putRecord(std::int32_t position, const Rec& rec) {
    const int base = o_.type == LoggerOptions::Type::Server ? 8 : 64;
    const int n = position / 4 + base;
    if (!blocks_.count(n)) blocks_[n] = erased();
    std::copy(rec.begin(), rec.end(), blocks_[n].begin() + 32 * (position % 4));
}

void Logger::build() {
    std::mt19937_64 rng(o_.faults.seed * 7919 + 17);
    const LocalTime now = o_.now.value_or(presentLocalTime());
    clockSeconds_ = toDeviceSeconds(o_.clock.value_or(now));

    std::vector<std::int32_t> probes;
    for (int p = 0; p < o_.probes; ++p)
        probes.push_back(std::uniform_int_distribution<std::int32_t>(1000, o_.probeMax)(rng));

    // Probe list, 8 entries of 16 bytes per block from block 1.
    for (int p = 0; p < o_.probes; ++p) {
        const int n = p / 8 + 1;
        if (!blocks_.count(n)) blocks_[n] = erased();
        std::uint8_t* e = blocks_[n].data() + 16 * (p % 8);
        put24(e, probes[static_cast<std::size_t>(p)]);
        e[3] = static_cast<std::uint8_t>(p);
        e[4] = static_cast<std::uint8_t>(40 + p);
        e[5] = static_cast<std::uint8_t>(30 + p);
        std::fill(e + 6, e + 16, 0);
    }

    const auto interval = std::chrono::minutes{15};
    if (o_.type == LoggerOptions::Type::Ordinary) {
        int n = 64;
        auto data = [&](const std::vector<Made>& recs, std::size_t from, std::size_t count) {
            Block b = erased();
            for (std::size_t k = 0; k < count; ++k)
                std::copy(recs[from + k].bytes.begin(), recs[from + k].bytes.end(), b.begin() + 32 * k);
            blocks_[n++] = b;
        };
        if (o_.orphanBlock) {
            std::vector<Made> lost;
            for (int k = 0; k < 4; ++k)
                lost.push_back(makeReading(rng, probes[0], now - std::chrono::days{2} + k * interval, Climate::Normal));
            data(lost, 0, 4);  // no header before it: a reader must skip it
        }
        int idx = 0;
        for (int p = 0; p < o_.probes; ++p) {
            const int count = o_.readings / o_.probes + (p < o_.readings % o_.probes ? 1 : 0);
            if (count == 0) continue;
            std::vector<Made> recs;
            for (int k = 0; k < count; ++k)
                recs.push_back(makeReading(rng, probes[static_cast<std::size_t>(p)],
                                           now - (count - k) * interval - std::chrono::minutes{p}, climateFor(idx++)));
            Block h = erased();
            put24(&h[1], probes[static_cast<std::size_t>(p)]);
            blocks_[n++] = h;
            for (std::size_t from = 0; from < recs.size(); from += 4) {
                if (from == 4) {
                    Block same = erased();
                    put24(&same[1], 0);  // "same probe as before"
                    blocks_[n++] = same;
                }
                data(recs, from, std::min<std::size_t>(4, recs.size() - from));
            }
            for (auto& m : recs) expected_.push_back(m.row);
        }
        dataBlocks_ = n - 64;
        return;
    }

    // Ring of records: already collected ones around the part still to collect.
    const int S = o_.slots;
    next_ = o_.next.value_or(std::max(0, S - 6));
    end_ = (next_ + o_.readings) % S;
    for (int q = 0; q < S; ++q) {
        auto old = makeReading(rng, probes[static_cast<std::size_t>(q % o_.probes)],
                               now - std::chrono::days{10} + q * interval, Climate::Normal);
        putRecord(q, old.bytes);
    }
    for (int i = 0; i < o_.readings; ++i) {
        const std::int32_t pos = (next_ + i) % S;
        const std::int32_t probe = probes[static_cast<std::size_t>(i % o_.probes)];
        const LocalTime when = now - (o_.readings - i) * interval;
        Made m = makeReading(rng, probe, when, climateFor(i));
        if (i % 9 == 4) {
            m = makeReading(rng, probe, now + std::chrono::days{30}, Climate::Normal);  // dated in the future
        } else if (i % 13 == 6) {
            m = makeReading(rng, (i / 13) % 2 ? 0 : 250000, when, Climate::Normal);  // no such probe
        } else if (i % 17 == 8) {
            m.bytes.fill(0xFF);  // empty slot
        } else {
            expected_.push_back(m.row);
        }
        putRecord(pos, m.bytes);
    }
}

void Logger::lineSettingsChanged(const std::string& settings) {
    lineBaud_ = std::atoi(settings.c_str());
    applyBaud();  // the program has moved on: the switch is due
}

void Logger::applyBaud() {
    if (!pendingBaud_) return;
    baud_ = *pendingBaud_;
    pendingBaud_.reset();
    trailing_ = 0;
}

void Logger::receive(ByteSpan data, SimOutput& out) {
    if (o_.modemEcho) {
        out.send(Bytes(data.begin(), data.end()));
        return;
    }
    for (std::uint8_t b : data) {
        if (pendingBaud_) {
            // The request's trailing bytes still come at the old speed.
            if (--trailing_ <= 0) applyBaud();
            continue;
        }
        if (lineBaud_ != baud_) {
            // Bytes at the wrong speed arrive as garbage. The logger gives up
            // the high speed when it hears garbage, so both sides can meet at
            // 9600 again.
            ++garbled_;
            in_.clear();
            baud_ = 9600;
            continue;
        }
        in_.push_back(b);
        parse(out);
    }
}

void Logger::parse(SimOutput& out) {
    for (;;) {
        auto start = std::find(in_.begin(), in_.end(), std::uint8_t{0x5E});
        in_.erase(in_.begin(), start);
        if (in_.size() < 5) return;
        const std::size_t L = in_[4];
        if (L < 10 || L > 142 || in_[1] != 0xFF || in_[2] != 0xFF || in_[3] != 0xFF) {
            ++badFrames_;
            in_.erase(in_.begin());
            continue;
        }
        if (in_.size() < L) return;
        std::uint32_t s = 0;
        for (std::size_t i = 1; i + 3 < L; ++i) s += in_[i];
        const bool ok = in_[5] == 0x00 && in_[L - 1] == 0x5F && in_[L - 3] == ((s >> 8) & 0xFF) && in_[L - 2] == (s & 0xFF) &&
                        (s >> 16) == 0;
        if (!ok) {
            ++badFrames_;
            in_.erase(in_.begin());
            continue;
        }
        Bytes f(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(L));
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(L));
        handle(f, out);
    }
}

Bytes Logger::answerFor(const std::vector<std::uint8_t>& data) {
    Bytes a = frame(data);
    ++answers_;
    if (o_.badLengthEvery > 0 && answers_ % o_.badLengthEvery == 0) {
        // Announces more than it carries; the check stays consistent with it.
        a[4] = static_cast<std::uint8_t>(a[4] + 4);
        std::uint32_t s = 0;
        for (std::size_t i = 1; i + 3 < a.size(); ++i) s += a[i];
        a[a.size() - 3] = static_cast<std::uint8_t>(s >> 8);
        a[a.size() - 2] = static_cast<std::uint8_t>(s & 0xFF);
        inj_.note("badLength");
    }
    return a;
}

void Logger::handle(const Bytes& f, SimOutput& out) {
    ++requests_;
    std::vector<std::uint8_t> d(f.begin() + 6, f.end() - 3);
    const int cmd = d[0];
    commands_.push_back(cmd);
    if (o_.modemZero) {
        // The start marker heard back, then a lone zero: all a modem in
        // command mode makes of a logger request.
        out.send(Bytes{0x5E, 0x00}, o_.replyDelayMs);
        return;
    }
    const bool server = o_.type == LoggerOptions::Type::Server;
    const bool ring = o_.type != LoggerOptions::Type::Ordinary;
    const bool pageWrite = cmd == 13 || (cmd == 0 && server && d.size() > 3 && d[3] == 1);
    if (d.size() != (pageWrite ? 133u : 5u)) return;  // not a command this logger knows

    auto plan = inj_.nextExchange();
    if (plan.silent) return;

    auto word = [](std::int32_t v) {
        return std::array<std::uint8_t, 2>{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    };
    std::vector<std::uint8_t> a;
    CivilTime c = toCivil(fromDeviceSeconds(clockSeconds_));
    std::optional<int> newBaud;
    switch (cmd) {
        case 9:
            if (server) {
                a = {9, 20, static_cast<std::uint8_t>(o_.firmwareMajor), static_cast<std::uint8_t>(o_.firmwareMinor), 0};
                const auto s = static_cast<std::uint32_t>(clockSeconds_);
                a.insert(a.end(), {static_cast<std::uint8_t>(s >> 24), static_cast<std::uint8_t>(s >> 16),
                                   static_cast<std::uint8_t>(s >> 8), static_cast<std::uint8_t>(s)});
                for (std::int32_t v : {end_, next_, static_cast<std::int32_t>(o_.slots), numReadings()}) {
                    auto w = word(v);
                    a.insert(a.end(), w.begin(), w.end());
                }
                a.insert(a.end(), {0, 0, 0});  // 20 data bytes: length 29
            } else {
                a = {9, static_cast<std::uint8_t>(ring ? o_.versionByte : 255), static_cast<std::uint8_t>(c.year - 2000),
                     static_cast<std::uint8_t>(c.month), static_cast<std::uint8_t>(c.day)};
            }
            break;
        case 11:
            a = {11, static_cast<std::uint8_t>(o_.firmwareMajor), static_cast<std::uint8_t>(c.hour),
                 static_cast<std::uint8_t>(c.minute), static_cast<std::uint8_t>(c.second)};
            break;
        case 1:
            if (ring) {
                a = {1};
                for (std::int32_t v : {next_, end_, static_cast<std::int32_t>(o_.slots), numReadings()}) {
                    auto w = word(v);
                    a.insert(a.end(), w.begin(), w.end());
                }
            } else {
                auto w = word(dataBlocks_);
                a = {1, w[0], w[1], 0, 0};
            }
            break;
        case 0:
            if (pageWrite) {
                flashWrites_.push_back({{"command", 0}, {"block", d[1] * 256 + d[2]},
                                        {"page", std::vector<int>(d.begin() + 5, d.end())}});
                a = {0, d[1], d[2], 1, 0};
            } else {
                int n = d[1] * 256 + d[2];
                if (plan.wrongEcho) n = (n + 1) & 0x7FFF;  // the answer of another block
                Block b = block(n);
                a = {0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0, 0};
                a.insert(a.end(), b.begin(), b.end());
            }
            break;
        case 13:
            flashWrites_.push_back({{"command", 13}, {"block", d[1] * 256 + d[2]},
                                    {"page", std::vector<int>(d.begin() + 5, d.end())}});
            a = {13, d[1], d[2], 0, 0};
            break;
        case 2:
            flashWrites_.push_back({{"command", 2}, {"block", d[1] * 256 + d[2]}, {"offset", d[3]}, {"value", d[4]}});
            a = {2, d[1], d[2], d[3], d[4]};
            break;
        case 3:
        case 27: {
            const std::int32_t endSent = d[1] * 256 + d[2];
            clears_.push_back({{"command", cmd}, {"endRecord", endSent}});
            if (ring)
                next_ = endSent % std::max(1, o_.slots);
            else
                dataBlocks_ = 0;
            a = {static_cast<std::uint8_t>(cmd), d[1], d[2], 0, 0};
            break;
        }
        case 8: {
            const std::int64_t s = static_cast<std::int64_t>(d[1]) << 24 | d[2] << 16 | d[3] << 8 | d[4];
            clockSet_ = s;
            clockSeconds_ = s;
            a = {8, d[1], d[2], d[3], d[4]};
            break;
        }
        case 10: {
            if (d[1] != 255) return;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", 2000 + d[2], d[3], d[4]);
            dateSet_ = buf;
            clockSeconds_ = toDeviceSeconds(makeLocal(2000 + d[2], d[3], d[4], c.hour, c.minute, c.second));
            a = {10, d[1], d[2], d[3], d[4]};
            break;
        }
        case 12: {
            if (d[1] != 254) return;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", d[2], d[3], d[4]);
            timeSet_ = buf;
            clockSeconds_ = toDeviceSeconds(makeLocal(c.year, c.month, c.day, d[2], d[3], d[4]));
            a = {12, d[1], d[2], d[3], d[4]};
            break;
        }
        case 14:
            newBaud = d[1] == 1 ? 56000 : 9600;
            a = {14, d[1], 0, 0, 0};
            break;
        default:
            return;
    }
    if (plan.wrongEcho && cmd != 0) a[0] = static_cast<std::uint8_t>(cmd ^ 0x40);
    Bytes answer = answerFor(a);
    if (plan.corruptCheck) FaultInjector::breakCheck(answer);
    if (plan.noiseBytes) out.send(inj_.noise(plan.noiseBytes), o_.replyDelayMs);
    out.send(std::move(answer), plan.noiseBytes ? 0 : o_.replyDelayMs);
    if (newBaud) {
        baudSwitches_.push_back(*newBaud);
        pendingBaud_ = o_.noHighSpeed ? 9600 : *newBaud;
        trailing_ = 3;
    }
}

nlohmann::json Logger::state() const {
    nlohmann::json j;
    j["kind"] = "logger";
    j["type"] = typeName(o_.type);
    j["requests"] = requests_;
    j["badFrames"] = badFrames_;
    j["garbledBytes"] = garbled_;
    j["commands"] = commands_;
    j["baud"] = baud_;
    j["baudSwitches"] = baudSwitches_;
    j["cleared"] = !clears_.empty();
    j["clears"] = clears_;
    j["clockSetTo"] = clockSet_ ? nlohmann::json(stamp(fromDeviceSeconds(*clockSet_)))
                                : nlohmann::json(nullptr);
    j["dateSet"] = dateSet_ ? nlohmann::json(*dateSet_) : nlohmann::json(nullptr);
    j["timeSet"] = timeSet_ ? nlohmann::json(*timeSet_) : nlohmann::json(nullptr);
    j["flashWrites"] = flashWrites_;
    j["numReadings"] = numReadings();
    j["nextRecord"] = next_;
    j["endRecord"] = end_;
    j["recordSlots"] = o_.slots;
    j["expectedRows"] = expected_;
    j["faults"] = inj_.state();
    return j;
}

}  // namespace kvr::sim
