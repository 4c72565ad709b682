// Arbitrary 32-byte records through both decoders and the row writers.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "core/server_record.h"
#include "files/probe_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kvr;
    if (size < kRecordSize) return 0;
    const RecordBytes rec(data, kRecordSize);
    const DecodedRecord r = decodeRecord(rec);
    const DecodedRecord b = decodeBulkRecord(rec);
    // What the stream decodes, the record read decodes the same way.
    if (b.cls == RecordClass::Reading || b.cls == RecordClass::DumpOnly) {
        if (r.cls != b.cls || r.reading.time != b.reading.time || r.reading.T != b.reading.T ||
            r.reading.SM != b.reading.SM || r.reading.Volts != b.reading.Volts)
            std::abort();
    }
    if (r.kind < 0 || r.kind > 15) std::abort();
    if (r.cls == RecordClass::Reading || r.cls == RecordClass::DumpOnly) {
        for (float v : r.reading.T)
            if (!std::isfinite(v) || v < -128 || v > 128) std::abort();
        for (float v : r.reading.SM)
            if (!std::isfinite(v) || v < 0 || v > 655.36f) std::abort();
        if (dumpRow(r.reading, Program::Marten).size() < 40) std::abort();
        if (r.cls == RecordClass::Reading && dataRow(r.reading, Program::Marten).size() < 40) std::abort();
    }
    return 0;
}
