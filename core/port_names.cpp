#include "core/port_names.h"

#include <system_error>

#include "core/numbers.h"

namespace kvr {

namespace {

constexpr const char* kApp = "KVR";
constexpr const char* kSection = "Ports";

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// Two names of one device: the same file once links are followed (a by-id
// link and the ttyUSB it points at). Names that do not exist compare as text.
bool sameDevice(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (a == b) return true;
    std::error_code ea, eb;
    const auto ca = std::filesystem::canonical(a, ea);
    const auto cb = std::filesystem::canonical(b, eb);
    return !ea && !eb && ca == cb;
}

}  // namespace

bool namesDevice(const std::string& text) {
    const std::string t = trimmed(text);
    return !t.empty() && t[0] == '/';
}

std::string stableDeviceName(const std::string& device, const DeviceFolders& folders) {
    const std::string dev = trimmed(device);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folders.byId, ec), end; !ec && it != end; it.increment(ec)) {
        if (sameDevice(it->path(), dev)) return it->path().string();
    }
    return dev;
}

int mappedPortNumber(Settings& settings, const std::string& device, const DeviceFolders& folders) {
    const std::string dev = trimmed(device);
    const std::string stable = stableDeviceName(dev, folders);
    for (int n = 1; n <= kHighestPortNumber; ++n) {
        const auto v = settings.get(kApp, kSection, "COM" + std::to_string(n));
        if (!v) continue;
        const std::string mapped = trimmed(*v);
        if (mapped.empty()) continue;
        if (mapped == dev || mapped == stable || sameDevice(mapped, dev)) return n;
    }
    return 0;
}

int portForDevice(Settings& settings, const std::string& device, const DeviceFolders& folders) {
    if (int n = mappedPortNumber(settings, device, folders)) return n;
    for (int n = 1; n <= kHighestPortNumber; ++n) {
        const auto v = settings.get(kApp, kSection, "COM" + std::to_string(n));
        if (v && !trimmed(*v).empty()) continue;
        // A number whose default device exists already names a port.
        std::error_code ec;
        if (std::filesystem::exists(folders.dev / ("ttyS" + std::to_string(n - 1)), ec)) continue;
        settings.set(kApp, kSection, "COM" + std::to_string(n), stableDeviceName(device, folders));
        return n;
    }
    return 0;
}

std::int32_t portFromAnswer(Settings& settings, const std::string& answer) {
    if (namesDevice(answer)) return portForDevice(settings, answer);
    return leadingInt(answer);
}

}  // namespace kvr
