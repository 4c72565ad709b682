#include "viewer/probe_data.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <thread>

namespace kvr::viewer {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool parseInt(std::string_view s, int64_t& out) {
    s = trim(s);
    bool neg = false;
    if (!s.empty() && s.front() == '-') {
        neg = true;
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 12) return false;
    int64_t v = 0;
    for (char c : s) {
        if (!isDigit(c)) return false;
        v = v * 10 + (c - '0');
    }
    out = neg ? -v : v;
    return true;
}

// A decimal number in hundredths; a third decimal rounds half away from zero
// (older programs wrote more digits than ours). "3." or "-" is a cut field.
bool parseHundredths(std::string_view s, int64_t& out) {
    s = trim(s);
    bool neg = false;
    if (!s.empty() && s.front() == '-') {
        neg = true;
        s.remove_prefix(1);
    }
    std::size_t i = 0;
    int64_t v = 0;
    while (i < s.size() && isDigit(s[i]) && i < 9) v = v * 10 + (s[i++] - '0');
    if (i == 0) return false;
    int64_t frac = 0;
    bool roundUp = false;
    if (i < s.size()) {
        if (s[i] != '.' || i + 1 == s.size()) return false;
        std::size_t k = 0;
        for (++i; i < s.size(); ++i, ++k) {
            if (!isDigit(s[i])) return false;
            if (k < 2) frac = frac * 10 + (s[i] - '0');
            else if (k == 2) roundUp = s[i] >= '5';
        }
        if (k == 1) frac *= 10;
    }
    v = v * 100 + frac + roundUp;
    out = neg ? -v : v;
    return true;
}

bool toInt16(int64_t v, int16_t& out) {
    if (v <= kNoValue || v > std::numeric_limits<int16_t>::max()) return false;
    out = static_cast<int16_t>(v);
    return true;
}

constexpr std::size_t kMaxFields = 20;

std::size_t splitFields(std::string_view line, std::string_view* fields) {
    std::size_t n = 0, start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ',') {
            if (n == kMaxFields) return kMaxFields + 1;
            fields[n++] = line.substr(start, i - start);
            start = i + 1;
        }
    }
    return n;
}

bool parseDepths(const std::string_view* f, Reading& r) {
    for (int d = 0; d < 6; ++d) {
        int64_t t, w;
        if (!parseHundredths(f[2 * d], t) || !parseHundredths(f[2 * d + 1], w)) return false;
        if (!toInt16(t, r.temp[d]) || !toInt16(w, r.water[d])) return false;
    }
    return true;
}

bool parseVolts(std::string_view s, Reading& r) {
    int64_t v;
    if (!parseHundredths(s, v) || v < 0 || v > 100000) return false;
    r.volts = static_cast<int32_t>(v);
    return true;
}

bool parseProbe(std::string_view s, Reading& r) {
    int64_t p;
    if (!parseInt(s, p) || p < 0 || p > std::numeric_limits<int32_t>::max()) return false;
    r.probe = static_cast<int32_t>(p);
    return true;
}

}  // namespace

int64_t civilSeconds(int y, int mo, int d, int h, int mi, int s) {
    // Days from 1970-01-01 in the proleptic Gregorian calendar.
    y -= mo <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + h * 3600 + mi * 60 + s;
}

CivilTime civilFields(int64_t seconds) {
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2));
    return {y, m, d, static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
}

bool parseDateTime(std::string_view t, int64_t& out) {
    t = trim(t);
    if (t.size() != 19 || t[4] != '/' || t[7] != '/' || t[10] != ' ' || t[13] != ':' || t[16] != ':') return false;
    auto num = [&](std::size_t at, std::size_t len, int& v) {
        v = 0;
        for (std::size_t i = at; i < at + len; ++i) {
            if (!isDigit(t[i])) return false;
            v = v * 10 + (t[i] - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, s;
    if (!num(0, 4, y) || !num(5, 2, mo) || !num(8, 2, d) || !num(11, 2, h) || !num(14, 2, mi) || !num(17, 2, s))
        return false;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || h > 23 || mi > 59 || s > 59) return false;
    if (mo == 2 && d == 29 && !(y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return false;
    out = civilSeconds(y, mo, d, h, mi, s);
    return true;
}

LineKind parseLine(std::string_view line, Reading& r) {
    const std::string_view body = trim(line);
    if (body.empty()) return LineKind::Blank;
    if (body.starts_with("Probe") || body.starts_with("Date - ") || body.front() == '!' || body.front() == '?')
        return LineKind::Note;
    std::string_view f[kMaxFields];
    const std::size_t n = splitFields(line, f);
    if (n == 15) {
        // Running file: probe, date, six temperature/water pairs, volts.
        if (!parseProbe(f[0], r) || !parseDateTime(f[1], r.time) || !parseDepths(f + 2, r) || !parseVolts(f[14], r))
            return LineKind::Skipped;
        // This layout has no flag column: power failure shows only as its code.
        r.powerFail = r.volts == kPowerFailVolts;
        return LineKind::Row;
    }
    if (n == 19) {
        // Dump file: probe, RecNo, date, six pairs, unit Temp, volts, PwrFail, counter.
        int64_t recNo, unitTemp, counter = 0;
        if (!parseProbe(f[0], r) || !parseInt(f[1], recNo) || !parseDateTime(f[2], r.time) ||
            !parseDepths(f + 3, r) || !parseHundredths(f[15], unitTemp) || !parseVolts(f[16], r))
            return LineKind::Skipped;
        const std::string_view pf = trim(f[17]);
        if (pf.empty() || pf == "0") r.powerFail = 0;
        else if (pf == "1") r.powerFail = 1;
        else return LineKind::Skipped;
        if (!trim(f[18]).empty() && !parseInt(f[18], counter)) return LineKind::Skipped;
        // A reading without depth values (voltage and flag only) is written
        // with every depth and the unit temperature at 0.
        bool allZero = unitTemp == 0;
        for (int d = 0; d < 6 && allZero; ++d) allZero = r.temp[d] == 0 && r.water[d] == 0;
        if (allZero) {
            std::fill(std::begin(r.temp), std::end(r.temp), kNoValue);
            std::fill(std::begin(r.water), std::end(r.water), kNoValue);
        }
        return LineKind::Row;
    }
    return LineKind::Skipped;
}

const ProbeRange* ProbeData::find(int32_t probe) const {
    auto it = std::lower_bound(probes.begin(), probes.end(), probe,
                               [](const ProbeRange& p, int32_t v) { return p.probe < v; });
    return it != probes.end() && it->probe == probe ? &*it : nullptr;
}

std::vector<std::filesystem::path> folderFiles(const std::filesystem::path& folder, bool withDumps) {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    const auto running = folder / "KVR Probe Data.csv";
    if (std::filesystem::exists(running, ec)) out.push_back(running);
    if (withDumps) {
        for (int n = 99; n >= 0; --n) {
            char name[16];
            std::snprintf(name, sizeof name, "Dump%02d.csv", n);
            const auto p = folder / "KVR Dumps" / name;
            if (std::filesystem::exists(p, ec)) out.push_back(p);
        }
    }
    return out;
}

namespace {

// A path with any characters the user's folder has (wide on Windows) and
// offsets past 2 GiB (long is 32 bits there).
std::FILE* openForReading(const std::filesystem::path& path) {
#ifdef _WIN32
    return ::_wfopen(path.c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

bool seekTo(std::FILE* f, std::uint64_t offset) {
#ifdef _WIN32
    return ::_fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return ::fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

void readFileRange(const std::filesystem::path& path, std::uint64_t begin, std::uint64_t end,
                   std::vector<Reading>& out, FileReport& rep) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(openForReading(path), std::fclose);
    // Inside the line that began before `begin`: the part before owns it.
    bool skipping = begin > 0;
    if (!f || (skipping && !seekTo(f.get(), begin - 1))) {
        rep.error = std::strerror(errno);
        return;
    }
    // Streamed in blocks: a year of readings is far larger than what the
    // parsed rows need in memory.
    constexpr std::size_t kBlock = 1 << 20;
    std::vector<char> buf(kBlock);
    std::size_t have = 0;
    std::uint64_t pos = skipping ? begin - 1 : 0;  // file offset of buf[0]
    bool overlong = false;  // inside a line longer than a block: never a row
    auto take = [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        Reading r;
        switch (parseLine(line, r)) {
            case LineKind::Blank: break;
            case LineKind::Note: ++rep.notes; break;
            case LineKind::Row: ++rep.rows; out.push_back(r); break;
            case LineKind::Skipped: ++rep.skipped; break;
        }
    };
    for (;;) {
        const std::size_t got = std::fread(buf.data() + have, 1, kBlock - have, f.get());
        const bool eof = got == 0;
        have += got;
        std::size_t start = 0;
        for (;;) {
            const void* nl = std::memchr(buf.data() + start, '\n', have - start);
            if (!nl) break;
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(nl) - buf.data());
            if (skipping) {
                skipping = false;
            } else if (overlong) {
                overlong = false;
                ++rep.skipped;
            } else if (pos + start >= end) {
                return;  // the next part's first line
            } else {
                take(std::string_view(buf.data() + start, at - start));
            }
            start = at + 1;
        }
        std::memmove(buf.data(), buf.data() + start, have - start);
        have -= start;
        pos += start;
        if (eof) break;
        if (have == kBlock) {
            if (!skipping && !overlong) {
                if (pos >= end) return;
                overlong = true;
            }
            pos += have;
            have = 0;
        }
    }
    if (skipping) return;
    if (overlong) ++rep.skipped;
    else if (have && pos < end) take(std::string_view(buf.data(), have));  // last line without a line end
}

namespace {

// Parsing is most of a load: a large file is read as two halves at once, the
// second into a vector of its own, appended after the first so that the
// order of the rows (and with it which copy of a reading wins) is kept.
void readFile(const std::filesystem::path& path, std::uintmax_t size, std::vector<Reading>& out, FileReport& rep) {
    constexpr std::uintmax_t kSplitAbove = 8u << 20;
    if (size < kSplitAbove || std::thread::hardware_concurrency() < 2) {
        readFileRange(path, 0, UINT64_MAX, out, rep);
        return;
    }
    const std::uint64_t mid = size / 2;
    std::vector<Reading> tail;
    tail.reserve(static_cast<std::size_t>(mid / 110 + 16));
    FileReport tailRep;
    std::exception_ptr failed;
    std::thread second([&] {
        try {
            readFileRange(path, mid, UINT64_MAX, tail, tailRep);
        } catch (...) {
            failed = std::current_exception();
        }
    });
    try {
        readFileRange(path, 0, mid, out, rep);
    } catch (...) {
        second.join();
        throw;
    }
    second.join();
    if (failed) std::rethrow_exception(failed);
    out.insert(out.end(), tail.begin(), tail.end());
    rep.rows += tailRep.rows;
    rep.notes += tailRep.notes;
    rep.skipped += tailRep.skipped;
    if (rep.error.empty()) rep.error = tailRep.error;
}

}  // namespace

ProbeData loadProbeData(const std::vector<std::filesystem::path>& files) {
    ProbeData data;
    std::uintmax_t bytes = 0;
    std::vector<std::uintmax_t> sizes;
    for (const auto& p : files) {
        std::error_code ec;
        const auto s = std::filesystem::file_size(p, ec);
        sizes.push_back(ec ? 0 : s);
        bytes += sizes.back();
    }
    // A row is 110 to 160 bytes: reserving spares the copies of a growing vector.
    data.readings.reserve(static_cast<std::size_t>(bytes / 110 + 16));
    for (std::size_t i = 0; i < files.size(); ++i) {
        data.files.push_back({files[i], {}, 0, 0, 0});
        readFile(files[i], sizes[i], data.readings, data.files.back());
    }
    auto& v = data.readings;
    // Stable, so copies of one reading stay in the order read and the last wins.
    std::stable_sort(v.begin(), v.end(), [](const Reading& a, const Reading& b) {
        return a.probe != b.probe ? a.probe < b.probe : a.time < b.time;
    });
    std::size_t w = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (w && v[w - 1].probe == v[i].probe && v[w - 1].time == v[i].time) {
            v[w - 1] = v[i];
            ++data.duplicates;
        } else {
            v[w++] = v[i];
        }
    }
    v.resize(w);
    if (w < v.capacity() / 10 * 9) v.shrink_to_fit();
    for (std::size_t i = 0; i < v.size();) {
        std::size_t j = i;
        while (j < v.size() && v[j].probe == v[i].probe) ++j;
        data.probes.push_back({v[i].probe, i, j});
        i = j;
    }
    return data;
}

}  // namespace kvr::viewer
