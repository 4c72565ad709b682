#include "web_dump/text_lines.h"

namespace kvr::web {

namespace {
constexpr std::size_t kChunk = 64 * 1024;
}

LineReader::LineReader(const std::filesystem::path& path) {
#ifdef _WIN32
    file_ = _wfopen(path.c_str(), L"rb");  // paths are wide on Windows
#else
    file_ = std::fopen(path.c_str(), "rb");
#endif
}

LineReader::~LineReader() {
    if (file_) std::fclose(file_);
}

bool LineReader::fill() {
    if (eof_ || !file_) return false;
    buf_.erase(0, pos_);
    pos_ = 0;
    std::size_t old = buf_.size();
    buf_.resize(old + kChunk);
    std::size_t n = std::fread(buf_.data() + old, 1, kChunk, file_);
    buf_.resize(old + n);
    if (n < kChunk) {
        if (std::ferror(file_)) failed_ = true;
        eof_ = true;
    }
    return n > 0;
}

bool LineReader::next(std::string& line) {
    line.clear();
    if (!file_) return false;
    for (;;) {
        if (skipLf_) {
            if (pos_ >= buf_.size() && !fill()) return false;
            if (pos_ < buf_.size()) {
                if (buf_[pos_] == '\n') ++pos_;
                skipLf_ = false;
            }
            continue;
        }
        // A plain scan: find_first_of calls memchr on its set for every character.
        std::size_t end = pos_;
        while (end < buf_.size() && buf_[end] != '\n' && buf_[end] != '\r') ++end;
        if (end < buf_.size()) {
            line.append(buf_, pos_, end - pos_);
            skipLf_ = buf_[end] == '\r';
            pos_ = end + 1;
            return true;
        }
        // No line end in the buffer: keep what we have and read more.
        line.append(buf_, pos_, std::string::npos);
        pos_ = buf_.size();
        if (!fill()) return !line.empty();
    }
}

}  // namespace kvr::web
