// Lines as the decoders must see them, worked out apart from the reader.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvr::test {

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

}  // namespace kvr::test
