// One scratch folder per fuzzing process, on a memory file system when there
// is one (the targets write and sync files on every input), removed at exit.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>
#include <iterator>

namespace fuzzing {

class ScratchDir {
public:
    ScratchDir() {
        std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/kvr-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline const std::filesystem::path& scratch() {
    static ScratchDir dir;
    return dir.path();
}

inline void writeFile(const std::filesystem::path& p, std::string_view bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::abort();
}

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines as the reader must see them: ends at CR, LF or CR LF; a last line
// without an end still counts when it holds anything.
inline std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> out;
    std::string cur;
    bool open = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            out.push_back(cur);
            cur.clear();
            open = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            cur += c;
            open = true;
        }
    }
    if (open) out.push_back(cur);
    return out;
}

}  // namespace fuzzing
