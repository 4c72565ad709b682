#include "logger_link/logger_frame.h"

#include "core/devtime.h"

namespace kvr::logger {

std::int32_t sum(const Buffer& buf, int from, int to) {
    std::int32_t s = 0;
    for (int i = from; i <= to && i <= kBufTop; ++i)
        if (i >= 0) s += buf[static_cast<std::size_t>(i)];
    return s;
}

namespace {

Bytes frame(ByteSpan data, std::uint8_t direction) {
    // Reserved and appended piecewise: an initialiser list followed by an
    // insert trips a false array-bounds warning in GCC 12's optimiser.
    Bytes f;
    f.reserve(data.size() + 12);
    for (std::uint8_t b : {kStart, std::uint8_t{0xFF}, std::uint8_t{0xFF}, std::uint8_t{0xFF},
                           static_cast<std::uint8_t>(data.size() + 9), direction})
        f.push_back(b);
    f.insert(f.end(), data.begin(), data.end());
    // The checksum covers everything after the start marker, header included.
    std::uint32_t s = 0;
    for (std::size_t i = 1; i < f.size(); ++i) s += f[i];
    f.push_back(static_cast<std::uint8_t>((s / 256) & 0xFF));
    f.push_back(static_cast<std::uint8_t>(s % 256));
    f.push_back(kEnd);
    return f;
}

std::int32_t be(const std::uint8_t* p, int n) {
    std::int32_t v = 0;
    for (int i = 0; i < n; ++i) v = v * 256 + p[i];
    return v;
}

}  // namespace

Bytes buildRequest(ByteSpan data) {
    Bytes f = frame(data, 0x00);
    f.insert(f.end(), {0x00, 0x00, 0x00});
    return f;
}

Bytes command(std::uint8_t code, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {code, a, b, c, d};
}

Bytes buildAnswer(ByteSpan data) { return frame(data, 0x01); }

void Receiver::feed(ByteSpan chunk) {
    for (std::uint8_t b : chunk) {
        if (rxLen_ == 0) {
            if (b == kStart) rxLen_ = 1;
            continue;
        }
        if (rxLen_ >= kBufTop) continue;  // no room: dropped
        ++rxLen_;
        rx_[static_cast<std::size_t>(rxLen_)] = b;
        if (rxLen_ == 5 && b >= kMinAnswerLen) answerLength_ = b;
    }
}

bool answerValid(const Buffer& rx, int rxLen, bool requestSent) {
    if (rxLen < kMinAnswerLen || rxLen > kMaxAnswerLen) return false;
    if (requestSent && rx[6] != 1) return false;
    if (rx[static_cast<std::size_t>(rxLen)] != kEnd) return false;
    std::int32_t s = sum(rx, 2, rxLen - 3);
    return rx[static_cast<std::size_t>(rxLen - 2)] == s / 256 && rx[static_cast<std::size_t>(rxLen - 1)] == s % 256;
}

float unwrapTemperature(float T, float R) {
    if (T > 30 && R < 5) T = T - 50;
    if (T < 10 && R > 40) T = T + 50;
    return T;
}

LoggerRecord decodeLoggerRecord(const std::uint8_t* rec) {
    LoggerRecord out;
    out.empty = rec[0] == 0xFF;
    out.probe = be(rec, 3);
    out.stamp = static_cast<std::uint32_t>(rec[5]) << 24 | static_cast<std::uint32_t>(rec[6]) << 16 |
                static_cast<std::uint32_t>(rec[7]) << 8 | rec[8];
    ProbeReading& r = out.reading;
    r.probe = out.probe;
    r.time = fromDeviceSeconds(out.stamp);
    double unit = (rec[9] * 256 + rec[10]) / 256.0;
    if (unit > 128) unit -= 256;
    r.Temp = static_cast<float>(unit);
    r.Volts = static_cast<float>((rec[11] & 0x7F) / 10.0);
    for (int i = 0; i < 6; ++i) {
        const std::uint8_t b0 = rec[12 + 3 * i], b1 = rec[13 + 3 * i], b2 = rec[14 + 3 * i];
        float T = static_cast<float>((b0 + 256 * (b1 >> 7)) / 10.0);
        r.T[static_cast<std::size_t>(i)] = unwrapTemperature(T, r.Temp);
        r.SM[static_cast<std::size_t>(i)] = static_cast<float>(((b1 & 0x7F) * 256 + b2) / 100.0);
    }
    return out;
}

std::array<std::uint8_t, 128> payload(const Buffer& rx) {
    std::array<std::uint8_t, 128> pl{};
    for (std::size_t i = 0; i < pl.size(); ++i) pl[i] = static_cast<std::uint8_t>(rx[kPayloadPos + i]);
    return pl;
}

std::optional<std::int32_t> probeHeader(const std::array<std::uint8_t, 128>& pl) {
    if (pl[0] != 0xFF) return std::nullopt;
    if (pl[1] == 0xFF && pl[2] == 0xFF && pl[3] == 0xFF) return std::nullopt;
    return be(&pl[1], 3);
}

ProbeListEntry decodeProbeListEntry(const std::uint8_t* e) {
    ProbeListEntry out;
    if (e[0] == 0xFF && e[1] == 0xFF && e[2] == 0xFF) return out;
    out.empty = false;
    out.probe = be(e, 3);
    out.lastSample = static_cast<std::int16_t>(be(e + 3, 2));
    out.volts = static_cast<float>(e[5] / 10.0);
    return out;
}

bool isServerLayout(const Buffer& rx, int rxLen) { return rx[8] == 20 && rxLen > 28; }

ServerStatus decodeServerStatus(const Buffer& rx) {
    auto at = [&](int pos) { return static_cast<std::int32_t>(rx[static_cast<std::size_t>(pos)]); };
    auto word = [&](int pos) { return at(pos) * 256 + at(pos + 1); };
    ServerStatus s;
    s.firmware = static_cast<float>(at(9) + at(10) / 100.0);
    s.clock = static_cast<std::uint32_t>(at(12)) << 24 | static_cast<std::uint32_t>(at(13)) << 16 |
              static_cast<std::uint32_t>(at(14)) << 8 | static_cast<std::uint32_t>(at(15));
    s.endRecord = word(16);
    s.nextRecord = word(18);
    s.recordSlots = word(20);
    s.count = word(22);
    return s;
}

}  // namespace kvr::logger
