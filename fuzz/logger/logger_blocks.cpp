// Block payloads and records decoded from any bytes: the decoders must not
// read outside their input and must give values in their ranges.
#include <cmath>
#include <cstdlib>

#include "logger_link/logger_frame.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 128) return 0;
    logger::Buffer rx{};
    for (std::size_t i = 0; i < 128; ++i) rx[logger::kPayloadPos + i] = data[i];
    for (std::size_t i = 128; i < size && i < 160; ++i) rx[i - 126] = data[i];  // header positions
    auto pl = logger::payload(rx);
    if (auto h = logger::probeHeader(pl); h && (*h < 0 || *h > 0xFFFFFE)) std::abort();
    for (int s = 0; s < 4; ++s) {
        auto rec = logger::decodeLoggerRecord(pl.data() + 32 * s);
        if (rec.probe < 0 || rec.probe > 0xFFFFFF) std::abort();
        for (float t : rec.reading.T)
            if (!std::isfinite(t) || t < -50 || t > 102) std::abort();
        for (float m : rec.reading.SM)
            if (!(m >= 0 && m <= 327.67f)) std::abort();
        if (rec.reading.Volts < 0 || rec.reading.Volts > 12.8f) std::abort();
    }
    for (int e = 0; e < 8; ++e) (void)logger::decodeProbeListEntry(pl.data() + 16 * e);
    auto st = logger::decodeServerStatus(rx);
    if (st.endRecord < 0 || st.endRecord > 65535 || st.recordSlots < 0 || st.recordSlots > 65535) std::abort();
    (void)logger::isServerLayout(rx, static_cast<int>(size % 200));
    return 0;
}
