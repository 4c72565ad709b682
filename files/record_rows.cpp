#include "files/record_rows.h"

namespace kvr {

bool writeRecord(const DecodedRecord& rec, RunFiles& files, LowBatteryList& low) {
    const auto probe = rec.reading.probe;
    bool ok = true;
    switch (rec.cls) {
        case RecordClass::Reading:
        case RecordClass::DumpOnly:
            ok = files.dump.write(dumpRow(rec.reading, Program::Marten));
            if (rec.cls == RecordClass::Reading) ok = files.data.write(dataRow(rec.reading, Program::Marten)) && ok;
            if (rec.reading.Volts < 3.4f) low.AddLowVolts(probe, rec.reading.Volts);
            return ok;
        case RecordClass::CrcError: return files.dump.write(markerLine(Marker::CrcError, probe));
        case RecordClass::ProbeSettings: return files.dump.write(markerLine(Marker::ProbeSettings, probe));
        case RecordClass::RepeaterSettings: return files.dump.write(markerLine(Marker::RepeaterSettings, probe));
        case RecordClass::InvalidKind: return files.dump.write(markerLine(Marker::InvalidData, probe, rec.kind));
        case RecordClass::Skipped: return true;
    }
    return true;
}

}  // namespace kvr
