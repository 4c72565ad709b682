// Reading a text file line by line without holding it whole: responses can
// be hundreds of megabytes. A line ends at CR, LF or CR LF, as the files
// written on the workstation and the service's answers both occur. Memory
// stays bounded whatever the file holds: a line longer than kMaxLine is
// skipped (as malformed) and counted, never collected.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kvr::web {

// fopen(path, "rb") with the path as the system spells it (wide on Windows).
std::FILE* openForReading(const std::filesystem::path& path);
// fseek to an offset from the start that may pass 2 GiB (long is 32 bits on
// Windows).
bool seekTo(std::FILE* file, std::uint64_t offset);

class LineReader {
public:
    static constexpr std::size_t kMaxLine = 64 * 1024;

    explicit LineReader(const std::filesystem::path& path, std::size_t maxLine = kMaxLine);
    // The same over text in memory, taken in chunks as from a file (64 KiB
    // unless given), so the decoders above can be checked without a disk.
    explicit LineReader(std::string_view text, std::size_t chunk = 0, std::size_t maxLine = kMaxLine);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool isOpen() const { return file_ != nullptr || text_.has_value(); }
    // Next line without its end; false at the end of the file.
    bool next(std::string& line);
    // Lines longer than the limit passed over so far.
    std::size_t skippedLines() const { return skipped_; }
    // True when a read failed (as opposed to reaching the end).
    bool failed() const { return failed_; }

private:
    bool fill();
    std::FILE* file_ = nullptr;
    std::optional<std::string_view> text_;  // the memory source, what is left of it
    std::size_t chunk_;
    std::string buf_;
    std::size_t pos_ = 0;
    bool eof_ = false;
    bool failed_ = false;
    std::size_t skipped_ = 0;
    std::size_t maxLine_;
    bool skipLf_ = false;  // the previous line ended with CR: a LF right after belongs to it
};

}  // namespace kvr::web
