// A text file the user keeps: every operation reports failure, and sync()
// pushes what was written to the disk, so a device is cleared only after its
// readings are safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace kvr {

class DataFile {
public:
    enum class Mode { Append, Truncate };
    DataFile() = default;
    ~DataFile();
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    bool open(const std::filesystem::path& path, Mode mode);
    bool isOpen() const { return fd_ >= 0; }
    // Size of the file at the moment it was opened.
    std::uintmax_t sizeAtOpen() const { return sizeAtOpen_; }
    // Writes whole rows (one or more, each ending with its line end) in one
    // call to the system, so a process killed at any moment leaves whole
    // rows. A write that fails part-way is cut back to the length before it,
    // or to the length at open when only a header went in before.
    bool write(std::string_view text);
    // As write(), for the header lines at the top of a file: a failure of
    // the first row after them takes them away too.
    bool writeHeader(std::string_view text);
    // Flush and fsync. Returns false when anything written so far failed.
    bool sync();
    // Sync and close; false when anything failed since open.
    bool close();

    bool failed() const { return failed_; }
    const std::string& errorText() const { return error_; }
    const std::filesystem::path& path() const { return path_; }

private:
    void fail(int err);
    void failWith(const std::string& what);
    bool writeAll(std::string_view text);
    void endLastLine();
    int fd_ = -1;
    bool failed_ = false;
    bool dirSynced_ = false;
    std::uintmax_t sizeAtOpen_ = 0;
    std::uintmax_t size_ = 0;       // what this file holds now, as far as we wrote it
    std::uintmax_t wholeUpTo_ = 0;  // length to cut back to after a failed write
    std::string error_;
    std::filesystem::path path_;
};

}  // namespace kvr
