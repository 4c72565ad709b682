#include "core/lowbatt.h"

#include "core/format.h"

namespace kvr {

void LowBatteryList::AddLowVolts(std::int32_t ProbeID, float Vlt) {
    // Readings under 2.2 V are taken as sensor faults, not as a battery
    // running down. Single-precision compare: 2.2f itself is kept.
    if (Vlt < 2.2f) return;
    for (int i = 0; i < LowCount; ++i) {
        auto k = static_cast<std::size_t>(i);
        if (LowProbe[k] == ProbeID) {
            if (Vlt < LowVolts[k]) LowVolts[k] = Vlt;
            return;
        }
    }
    // Guard against a count that was set from outside the valid range.
    if (LowCount < 0) LowCount = 0;
    if (LowCount > 100) LowCount = 100;
    auto slot = static_cast<std::size_t>(LowCount);
    LowProbe[slot] = ProbeID;
    LowVolts[slot] = Vlt;
    if (LowCount < 100) ++LowCount;
}

std::string LowBatteryList::reportText() const {
    std::string list;
    for (int i = 0; i < LowCount && i < 100; ++i) {
        auto k = static_cast<std::size_t>(i);
        if (LowProbe[k] < 1) continue;
        list += ", " + std::to_string(LowProbe[k]) + " (" + formatFloat(LowVolts[k], "##0.0") + "V)";
    }
    if (list.empty()) return {};
    return "The following units have low battery readings:\r" + list.substr(2);
}

}  // namespace kvr
