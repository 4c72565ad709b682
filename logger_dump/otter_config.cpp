#include "logger_dump/otter_config.h"

#include <cctype>
#include <system_error>

#include "core/numbers.h"

namespace kvr {

const char* const kOtterCfgDefaultLines[7] = {
    "Coms port = 1    (enter serial port number here, default 1)",
    "Baud rate = 9600 (options are 0/9600/56000, default is 9600)",
    "Scan rate = 0    (to stay memory resident enter the number of seconds between checking for logger)",
    "Dump folder =",
    "2nd port = 0     (enter serial port number for cell modem)",
    "Pin code =       (if using cell modem and cell pin is not disabled, enter the cell pin number)",
    "Tel number =     (if using cell modem, enter the tel number of the modem to be dialed)",
};

std::vector<std::string> splitCfgLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return lines;
}

bool cfgValue(std::string_view line, std::string& value) {
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return false;
    std::string_view rest = line.substr(eq + 1);
    std::size_t second = rest.find('=');
    value = std::string(second == std::string_view::npos ? rest : rest.substr(0, second));
    return true;
}

std::string trimSpaces(std::string_view s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

std::filesystem::path withTrailingSeparator(const std::filesystem::path& folder) {
    std::string s = folder.string();
    const char sep = static_cast<char>(std::filesystem::path::preferred_separator);
    if (s.empty() || s.back() != sep) s.push_back(sep);
    return std::filesystem::path(s);
}

namespace {

std::int16_t clamp16(std::int64_t v) {
    if (v > 32767) return 32767;
    if (v < -32768) return -32768;
    return static_cast<std::int16_t>(v);
}

bool isCfgKey(char k) {
    switch (k) {
        case 'C': case '2': case 'B': case 'S': case 'D': case 'P': case 'T':
            return true;
        default:
            return false;
    }
}

}  // namespace

CfgResult applyCfgLines(const std::vector<std::string>& lines, const std::filesystem::path& programFolder,
                        OtterConfig& cfg) {
    const char sep = static_cast<char>(std::filesystem::path::preferred_separator);
    for (const std::string& line : lines) {
        if (line.empty()) continue;
        char key = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
        if (!isCfgKey(key)) continue;
        std::string value;
        if (!cfgValue(line, value)) return {CfgStatus::BadLine, "Invalid line in Otter.cfg: " + line};
        switch (key) {
            case 'C':
                cfg.firstPort = cfg.portNumber ? cfg.portNumber(value) : leadingInt(value);
                if (cfg.firstPort > 0) cfg.comPort = cfg.firstPort;
                break;
            case '2':
                cfg.secondPort = cfg.portNumber ? cfg.portNumber(value) : leadingInt(value);
                break;
            case 'B':
                cfg.HighSpeed = leadingNumber(value) == 56000.0 ? 1 : 0;
                // Fast speed is only switched on for a download; a scan starts slow.
                cfg.setSettings9600 = true;
                break;
            case 'S':
                cfg.ScanRate = clamp16(roundHalfEven(leadingNumber(value)));
                break;
            case 'D': {
                std::string folder = trimSpaces(value);
                if (folder.empty()) folder = programFolder.string();
                // "/" alone names the root: removing its separator would leave nothing.
                if (folder.size() > 1 && folder.back() == sep) folder.pop_back();
                std::error_code ec;
                if (folder.empty() || !std::filesystem::is_directory(folder, ec))
                    return {CfgStatus::BadFolder, folder};
                cfg.DumpFolder = withTrailingSeparator(folder);
                break;
            }
            case 'P': {
                std::string pin = trimSpaces(value).substr(0, 4);
                bool ok = pin.size() == 4;
                for (char c : pin) ok = ok && c >= '0' && c <= '9';
                cfg.PinCode = ok ? pin : std::string();
                break;
            }
            case 'T': {
                std::string tel = trimSpaces(value);
                if (auto p = tel.find('('); p != std::string::npos) tel = trimSpaces(tel.substr(0, p));
                cfg.TelNumber = tel;
                break;
            }
        }
    }
    return {};
}

}  // namespace kvr
