#include "core/server_record.h"

#include "core/crc16.h"
#include "core/devtime.h"

namespace kvr {

namespace {

// The table is kept as the text the server's documentation gives, read with
// a decimal point whatever the workstation's locale, so each entry is the
// single-precision value of that decimal text.
constexpr std::array<float, 16> kVoltCodes = {2.2f, 2.3f, 2.4f, 2.5f, 2.6f, 2.8f, 2.9f, 3.1f,
                                              3.4f, 3.5f, 3.6f, 3.8f, 4.1f, 997.0f, 998.0f, 999.0f};

std::uint32_t be16(RecordBytes r, std::size_t at) { return (std::uint32_t{r[at]} << 8) | r[at + 1]; }

std::uint32_t be24(RecordBytes r, std::size_t at) { return (be16(r, at) << 8) | r[at + 2]; }

std::uint32_t be32(RecordBytes r, std::size_t at) { return (be16(r, at) << 16) | be16(r, at + 2); }

// Older layout: seconds time stamp, volts as tenths in byte 11.
void decodeKind0(RecordBytes r, ProbeReading& p) {
    p.recNo = static_cast<std::int32_t>(be16(r, 3));
    // A stamp with its top bit set would be a date after 2068; it is taken
    // as unsigned rather than wrapping to a date before 2000.
    p.time = fromDeviceSeconds(static_cast<std::int64_t>(be32(r, 5)));
    double temp = be16(r, 9) / 256.0;
    if (temp > 128) temp -= 256;
    p.Temp = static_cast<float>(temp);
    p.pwrFail = static_cast<std::uint8_t>(r[11] >> 7);
    p.Volts = static_cast<float>((r[11] & 0x7F) / 10.0);
    for (std::size_t i = 0; i < 6; ++i) {
        const std::uint8_t b0 = r[12 + 3 * i], b1 = r[13 + 3 * i], b2 = r[14 + 3 * i];
        double t = ((b1 & 0x80 ? 256 : 0) + b0) / 10.0;
        if (t > 48) t -= 50;
        p.T[i] = static_cast<float>(t);
        p.SM[i] = static_cast<float>(((b1 & 0x7F) * 256 + b2) / 100.0);
    }
    p.counter = static_cast<std::int32_t>(be16(r, 30));
}

void decodeVoltCode(RecordBytes r, ProbeReading& p) {
    p.Volts = kVoltCodes[r[0] & 0x0F];
    p.pwrFail = p.Volts == 999.0f ? 1 : 0;
}

// Current layout: minutes time stamp, 1/16-degree temperatures whose top
// bit (64 degrees) is carried in byte 9.
void decodeKind1(RecordBytes r, ProbeReading& p) {
    decodeVoltCode(r, p);
    p.time = fromDeviceMinutes(be24(r, 3));
    p.recNo = static_cast<std::int32_t>(be16(r, 6));
    double temp = (((be16(r, 8) >> 1) & ~0xFu)) / 256.0;
    if (temp > 90) temp -= 128;
    p.Temp = static_cast<float>(temp);
    std::uint8_t topBits = r[9];
    for (std::size_t i = 0; i < 6; ++i) {
        const std::uint8_t b0 = r[10 + 3 * i], b1 = r[11 + 3 * i], b2 = r[12 + 3 * i];
        std::uint32_t x = ((std::uint32_t{b0} << 8 | b1) >> 2) & ~0xFu;
        if (topBits & 1) x |= 0x4000;
        double t = x / 256.0;
        if (t > 90) t -= 128;
        p.T[i] = static_cast<float>(t);
        p.SM[i] = static_cast<float>(((std::uint32_t{b1} << 8 | b2) & 0x3FFF) / 100.0);
        // The server packs five top bits: sensors 5 and 6 share the last one.
        if (i < 4) topBits >>= 1;
    }
    p.counter = static_cast<std::int32_t>(be16(r, 28));
}

void decodeKind2(RecordBytes r, ProbeReading& p) {
    decodeVoltCode(r, p);
    p.time = fromDeviceMinutes(be24(r, 3));
    p.recNo = static_cast<std::int32_t>(be16(r, 6));
    p.counter = static_cast<std::int32_t>(be16(r, 28));
}

DecodedRecord fromKind(RecordBytes r, DecodedRecord d) {
    switch (d.kind) {
        case 0: decodeKind0(r, d.reading); d.cls = RecordClass::Reading; break;
        case 1: decodeKind1(r, d.reading); d.cls = RecordClass::Reading; break;
        case 2: decodeKind2(r, d.reading); d.cls = RecordClass::DumpOnly; break;
        case 4: d.cls = RecordClass::ProbeSettings; break;
        case 5: d.cls = RecordClass::RepeaterSettings; break;
        default: d.cls = RecordClass::InvalidKind; break;
    }
    return d;
}

DecodedRecord header(RecordBytes r) {
    DecodedRecord d;
    d.kind = r[0] >> 4;
    d.reading.probe = static_cast<std::int32_t>(be16(r, 1));
    return d;
}

}  // namespace

float voltsForCode(int code) { return kVoltCodes[static_cast<std::size_t>(code) & 0x0F]; }

bool recordCheckPasses(RecordBytes rec) {
    return crc16(rec) == 0;
}

DecodedRecord decodeRecord(RecordBytes rec) {
    DecodedRecord d = header(rec);
    const bool waived = rec[0] == 0 && d.reading.probe != 0;
    if (!waived && !recordCheckPasses(rec)) {
        d.cls = RecordClass::CrcError;
        return d;
    }
    return fromKind(rec, d);
}

DecodedRecord decodeBulkRecord(RecordBytes rec) {
    DecodedRecord d = header(rec);
    if (!recordCheckPasses(rec)) {
        d.cls = RecordClass::CrcError;
        return d;
    }
    const bool wanted = d.reading.probe != 0 && (d.kind == 1 || d.kind == 2 || (d.kind == 0 && rec[0] == 0));
    if (!wanted) {
        d.cls = RecordClass::Skipped;
        return d;
    }
    return fromKind(rec, d);
}

}  // namespace kvr
