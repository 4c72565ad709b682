// The Windows implementation of DataFile; datafile.cpp is the POSIX one.
#ifdef _WIN32
#include "files/datafile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace kvr {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

}  // namespace

DataFile::~DataFile() {
    if (fd_ >= 0) ::_close(fd_);
}

void DataFile::fail(const std::string& what) {
    if (!failed_) error_ = what;
    failed_ = true;
}

bool DataFile::open(const std::filesystem::path& path, Mode mode) {
    if (fd_ >= 0) close();
    failed_ = false;
    error_.clear();
    sizeAtOpen_ = 0;
    dirSynced_ = false;
    path_ = path;
    // Binary: the rows carry their own CR LF, text mode would double the CR.
    const int flags =
        _O_WRONLY | _O_CREAT | _O_BINARY | _O_NOINHERIT | (mode == Mode::Append ? _O_APPEND : _O_TRUNC);
    const int fd = ::_wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        fail(errnoText(errno));
        return false;
    }
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0) {
        fail(errnoText(errno));
        ::_close(fd);
        return false;
    }
    fd_ = fd;
    sizeAtOpen_ = static_cast<std::uintmax_t>(st.st_size);
    return true;
}

bool DataFile::write(std::string_view text) {
    if (failed_) return false;
    if (fd_ < 0) {
        fail("file is not open");
        return false;
    }
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const unsigned chunk = left > INT_MAX ? INT_MAX : static_cast<unsigned>(left);
        const int n = ::_write(fd_, p, chunk);
        if (n < 0) {
            fail(errnoText(errno));
            return false;
        }
        if (n == 0) {
            fail(errnoText(ENOSPC));
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool DataFile::sync() {
    if (fd_ < 0) {
        if (!failed_) fail("file is not open");
        return false;
    }
    // _commit is FlushFileBuffers: data and size reach the disk. The folder
    // entry of a new file is part of the file system's own journal there.
    if (::_commit(fd_) != 0) fail(errnoText(errno));
    dirSynced_ = true;
    return !failed_;
}

bool DataFile::close() {
    if (fd_ < 0) return !failed_;
    sync();
    if (::_close(fd_) != 0) fail(errnoText(errno));
    fd_ = -1;
    return !failed_;
}

}  // namespace kvr
#endif
