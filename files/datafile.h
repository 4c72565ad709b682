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
    bool write(std::string_view text);
    // Flush and fsync. Returns false when anything written so far failed.
    bool sync();
    // Sync and close; false when anything failed since open.
    bool close();

    bool failed() const { return failed_; }
    const std::string& errorText() const { return error_; }
    const std::filesystem::path& path() const { return path_; }

private:
    void fail(const std::string& what);
    int fd_ = -1;
    bool failed_ = false;
    bool dirSynced_ = false;
    std::uintmax_t sizeAtOpen_ = 0;
    std::string error_;
    std::filesystem::path path_;
};

}  // namespace kvr
