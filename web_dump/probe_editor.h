// What the "Probes" window does with its list, apart from drawing it: the
// entries are loaded from the probe list file, changed through the screen's
// boxes, and written back only on OK.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/platform.h"

namespace kvr::web {

class ProbeListEditor {
public:
    void load(const std::filesystem::path& folder);
    // "Probe Number" box with an empty default; a number above 0 is appended.
    // Returns the index of the new entry, or -1.
    int add(Screen& screen);
    // The same box with the entry as default; a number above 0 replaces it.
    bool edit(Screen& screen, int selected);
    // "DELETE" question; Yes removes the entry.
    bool remove(Screen& screen, int selected);
    // Writes the list, one entry per line. On failure error names the file.
    bool save(const std::filesystem::path& folder, std::string& error) const;

    std::vector<std::string> entries;
};

}  // namespace kvr::web
