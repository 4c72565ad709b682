#include "web_dump/probe_editor.h"

#include "web_dump/probe_list.h"

namespace kvr::web {

namespace {
const char* const kPrompt = "Enter the new probe number.";
const char* const kTitle = "Probe Number";

bool valid(const std::vector<std::string>& v, int i) { return i >= 0 && static_cast<std::size_t>(i) < v.size(); }
}  // namespace

void ProbeListEditor::load(const std::filesystem::path& folder) { entries = readProbeEntries(probeListPath(folder)); }

int ProbeListEditor::add(Screen& screen) {
    auto entry = probeEntryFromAnswer(screen.inputBox(kPrompt, kTitle, ""));
    if (!entry) return -1;
    entries.push_back(*entry);
    return static_cast<int>(entries.size()) - 1;
}

bool ProbeListEditor::edit(Screen& screen, int selected) {
    if (!valid(entries, selected)) return false;
    auto entry = probeEntryFromAnswer(screen.inputBox(kPrompt, kTitle, entries[selected]));
    if (!entry) return false;
    entries[selected] = *entry;
    return true;
}

bool ProbeListEditor::remove(Screen& screen, int selected) {
    if (!valid(entries, selected)) return false;
    if (!screen.messageBox("Are you sure you want to delete the selected probe " + entries[selected] + "?", "DELETE",
                           Icon::None, Buttons::YesNo))
        return false;
    entries.erase(entries.begin() + selected);
    return true;
}

bool ProbeListEditor::save(const std::filesystem::path& folder, std::string& error) const {
    std::string why;
    if (writeProbeEntries(probeListPath(folder), entries, why)) return true;
    error = probeListPath(folder).string() + ": " + why;
    return false;
}

}  // namespace kvr::web
