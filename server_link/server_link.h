// The probe-server link: CRC-16 framed commands, status, single records and
// the bulk stream. (Shape agreed with the run sequences; the link's owner
// fills in the rest.)
#pragma once

#include <cstdint>

#include "core/link_state.h"
#include "core/lowbatt.h"
#include "core/platform.h"
#include "files/probe_files.h"

namespace kvr {

class ServerLink {
public:
    ServerLink(Platform& platform, LinkState& state);

    void v5Add(std::uint8_t xByte);
    void GenerateCRC();
    static void update_crc(std::int32_t& CRC, std::int16_t a);
    void v5Transmit();
    void v5GetStatus();
    // Fetches ring position RecNo and writes its rows or marker line.
    void GetReading(const std::int32_t& RecNo);
    // Bulk download of NumReadings records from NextRecord, with back-fill.
    void DumpAll();

    // Where rows go during a download; set by the run before downloading.
    RunFiles* files = nullptr;
    LowBatteryList* lowList = nullptr;

    std::int16_t ModemOnline = 0;

private:
    Platform& p_;
    LinkState& s_;
};

}  // namespace kvr
