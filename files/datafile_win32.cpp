// The Windows implementation of DataFile; datafile.cpp is the POSIX one. The
// two are kept in the same order so they can be read side by side.
#ifdef _WIN32
#include "files/datafile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kvr {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

}  // namespace

DataFile::~DataFile() {
    // A file left open by a path that forgot close() still gets its
    // descriptor back; its data was already handed to the system by write().
    if (fd_ >= 0) ::_close(fd_);
}

void DataFile::fail(const std::string& what) {
    // The first failure is the one worth telling; later ones follow from it.
    if (!failed_) error_ = what;
    failed_ = true;
}

bool DataFile::open(const std::filesystem::path& path, Mode mode) {
    if (fd_ >= 0) close();
    failed_ = false;
    error_.clear();
    sizeAtOpen_ = size_ = wholeUpTo_ = 0;
    dirSynced_ = false;
    path_ = path;
    // Read access too: an appended file's last byte tells whether its last
    // line was ended. Binary: the rows carry their own CR LF, text mode
    // would double the CR.
    const int flags =
        _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT | (mode == Mode::Append ? _O_APPEND : _O_TRUNC);
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
    sizeAtOpen_ = size_ = wholeUpTo_ = static_cast<std::uintmax_t>(st.st_size);
    if (mode == Mode::Append && size_ > 0) endLastLine();
    return !failed_;
}

void DataFile::endLastLine() {
    // A line left unended (by a crash, a full disk or another program)
    // would otherwise have the next row glued onto it. There is no pread():
    // seek to the last byte and read it; _O_APPEND sends every write to the
    // end whatever the position.
    char last = '\n';
    int n = -1;
    if (::_lseeki64(fd_, static_cast<__int64>(size_ - 1), SEEK_SET) >= 0) n = ::_read(fd_, &last, 1);
    if (n != 1) {
        fail(errnoText(n < 0 ? errno : EIO));
        return;
    }
    if (last == '\n') return;
    if (writeAll(last == '\r' ? "\n" : "\r\n")) wholeUpTo_ = size_;
}

bool DataFile::write(std::string_view text) {
    if (!writeAll(text)) return false;
    wholeUpTo_ = size_;
    return true;
}

bool DataFile::writeHeader(std::string_view text) { return writeAll(text); }

bool DataFile::writeAll(std::string_view text) {
    // Once a write failed nothing more goes in: a row missing its middle
    // would be worse than a file that plainly ends early.
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
        if (n <= 0) {
            // No progress and no error: treat like a full disk rather than loop.
            fail(errnoText(n < 0 ? errno : ENOSPC));
            // Cut the piece that went in back off, so the file ends on a
            // whole row and the next run appends to a clean line.
            if (size_ > wholeUpTo_ && ::_chsize_s(fd_, static_cast<__int64>(wholeUpTo_)) == 0) size_ = wholeUpTo_;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
        size_ += static_cast<std::uintmax_t>(n);
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
