// Any text as the configuration file: reading it ends, a bad line or a
// missing folder stops it with the line or folder named, values that no
// line sets keep what they were, and numbers stay within their fields.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "logger_dump/otter_config.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto lines = splitCfgLines(text);
    std::size_t total = 0;
    for (const auto& l : lines) {
        if (l.find('\n') != std::string::npos) std::abort();
        total += l.size();
    }
    if (total > size) std::abort();

    OtterConfig cfg;
    cfg.ScanRate = 17;
    cfg.comPort = 4;
    cfg.DumpFolder = "/kept/";
    const CfgResult res = applyCfgLines(lines, "/tmp", cfg);

    bool sawKey[256] = {};
    for (const auto& l : lines)
        if (!l.empty()) sawKey[static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(l[0])))] = true;

    switch (res.status) {
        case CfgStatus::Ok:
            if (!res.errorText.empty()) std::abort();
            // Untouched unless a line set them.
            if (!sawKey[static_cast<unsigned char>('S')] && cfg.ScanRate != 17) std::abort();
            if (!sawKey[static_cast<unsigned char>('C')] && cfg.comPort != 4) std::abort();
            if (!sawKey[static_cast<unsigned char>('D')] && cfg.DumpFolder != "/kept/") std::abort();
            if (!cfg.DumpFolder.string().ends_with('/')) std::abort();
            if (!cfg.PinCode.empty() && cfg.PinCode.size() != 4) std::abort();
            if (cfg.HighSpeed != 0 && cfg.HighSpeed != 1) std::abort();
            if (cfg.comPort != 4 && cfg.comPort <= 0) std::abort();
            break;
        case CfgStatus::BadLine: {
            const std::string prefix = "Invalid line in Otter.cfg: ";
            if (!res.errorText.starts_with(prefix)) std::abort();
            // The line named is one of the file's lines, and it has no "=".
            const std::string named = res.errorText.substr(prefix.size());
            if (named.find('=') != std::string::npos) std::abort();
            bool found = false;
            for (const auto& l : lines) found = found || l == named;
            if (!found) std::abort();
            break;
        }
        case CfgStatus::BadFolder: {
            // Names too long or otherwise unusable are bad folders too.
            std::error_code ec;
            if (std::filesystem::is_directory(res.errorText, ec)) std::abort();
            break;
        }
    }
    return 0;
}
