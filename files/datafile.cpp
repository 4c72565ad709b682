// The POSIX implementation; datafile_win32.cpp is the Windows one.
#ifndef _WIN32
#include "files/datafile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvr {

namespace {

std::string errnoText(int err) { return std::strerror(err); }

}  // namespace

DataFile::~DataFile() {
    // A file left open by a path that forgot close() still gets its
    // descriptor back; its data was already handed to the kernel by write().
    if (fd_ >= 0) ::close(fd_);
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
    // line was ended.
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (mode == Mode::Append ? O_APPEND : O_TRUNC);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail(errnoText(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        fail(errnoText(errno));
        ::close(fd);
        return false;
    }
    fd_ = fd;
    sizeAtOpen_ = size_ = wholeUpTo_ = static_cast<std::uintmax_t>(st.st_size);
    if (mode == Mode::Append && size_ > 0) endLastLine();
    return !failed_;
}

void DataFile::endLastLine() {
    // A line left unended (by a crash, a full disk or another program)
    // would otherwise have the next row glued onto it.
    char last = '\n';
    ssize_t n;
    do {
        n = ::pread(fd_, &last, 1, static_cast<off_t>(size_ - 1));
    } while (n < 0 && errno == EINTR);
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
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // No progress and no error: treat like a full disk rather than loop.
            fail(errnoText(n < 0 ? errno : ENOSPC));
            // Cut the piece that went in back off, so the file ends on a
            // whole row and the next run appends to a clean line.
            if (size_ > wholeUpTo_ && ::ftruncate(fd_, static_cast<off_t>(wholeUpTo_)) == 0) size_ = wholeUpTo_;
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
    if (::fsync(fd_) != 0) {
        // EINVAL: the file cannot be synced at all (a pipe or special file);
        // there is nothing more to push, so that is not a loss of data.
        if (errno != EINVAL && errno != EROFS) fail(errnoText(errno));
    }
    if (!dirSynced_) {
        // A newly created file is only safe once its folder entry is too.
        std::filesystem::path dir = path_.parent_path();
        if (dir.empty()) dir = ".";
        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            ::fsync(dfd);
            ::close(dfd);
        }
        dirSynced_ = true;
    }
    return !failed_;
}

bool DataFile::close() {
    if (fd_ < 0) return !failed_;
    sync();
    // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
    if (::close(fd_) != 0 && errno != EINTR) fail(errnoText(errno));
    fd_ = -1;
    return !failed_;
}

}  // namespace kvr
#endif
