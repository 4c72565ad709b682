#include "web_dump/text_lines.h"

#include <algorithm>

namespace kvr::web {

namespace {
constexpr std::size_t kChunk = 64 * 1024;
}

std::FILE* openForReading(const std::filesystem::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"rb");  // paths are wide on Windows
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

bool seekTo(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

LineReader::LineReader(const std::filesystem::path& path, std::size_t maxLine)
    : chunk_(kChunk), maxLine_(maxLine) {
    file_ = openForReading(path);
}

LineReader::LineReader(std::string_view text, std::size_t chunk, std::size_t maxLine)
    : text_(text), chunk_(chunk ? chunk : kChunk), maxLine_(maxLine) {}

LineReader::~LineReader() {
    if (file_) std::fclose(file_);
}

bool LineReader::fill() {
    if (eof_ || !isOpen()) return false;
    buf_.erase(0, pos_);
    pos_ = 0;
    std::size_t old = buf_.size();
    std::size_t n;
    if (text_) {
        n = std::min(chunk_, text_->size());
        buf_.append(text_->substr(0, n));
        text_->remove_prefix(n);
    } else {
        buf_.resize(old + kChunk);
        n = std::fread(buf_.data() + old, 1, kChunk, file_);
        buf_.resize(old + n);
        if (n < kChunk && std::ferror(file_)) failed_ = true;
    }
    if (n < chunk_) eof_ = true;
    return n > 0;
}

bool LineReader::next(std::string& line) {
    line.clear();
    if (!isOpen()) return false;
    bool overlong = false;
    auto take = [&](std::size_t from, std::size_t n) {
        if (overlong) return;
        if (line.size() + n > maxLine_) {
            overlong = true;
            line.clear();
            return;
        }
        line.append(buf_, from, n);
    };
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
            take(pos_, end - pos_);
            skipLf_ = buf_[end] == '\r';
            pos_ = end + 1;
            if (!overlong) return true;
            ++skipped_;
            overlong = false;
            continue;
        }
        // No line end in the buffer: keep what we have and read more.
        take(pos_, buf_.size() - pos_);
        pos_ = buf_.size();
        if (!fill()) {
            if (overlong) ++skipped_;
            return !overlong && !line.empty();
        }
    }
}

}  // namespace kvr::web
