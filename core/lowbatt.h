// Probes whose supply voltage was low during a run, named to the user at its end.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvr {

class LowBatteryList {
public:
    // Callers pass only voltages below 3.4 V. Below 2.2 V is ignored; a probe
    // already listed keeps its lowest voltage; at most 100 entries are kept
    // (slot 100 is overwritten by further new probes and never shown).
    void AddLowVolts(std::int32_t ProbeID, float Vlt);
    void clear() { LowCount = 0; }
    int count() const { return LowCount; }

    // The report's text, or empty when nothing is to be shown.
    // Title of its message box: reportTitle().
    std::string reportText() const;
    static const char* reportTitle() { return "Low Batteries"; }

    std::int16_t LowCount = 0;
    std::array<std::int32_t, 101> LowProbe{};
    std::array<float, 101> LowVolts{};
};

}  // namespace kvr
