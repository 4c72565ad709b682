#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/file_calls.h"

namespace kvr::os {

int openDataFile(const std::filesystem::path& path, bool append, int& fd, std::uintmax_t& size) {
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    do {
        fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        fd = -1;
        return err;
    }
    size = static_cast<std::uintmax_t>(st.st_size);
    return 0;
}

int readByteAt(int fd, std::uintmax_t at, char& byte) {
    ssize_t n;
    do {
        n = ::pread(fd, &byte, 1, static_cast<off_t>(at));
    } while (n < 0 && errno == EINTR);
    return n == 1 ? 0 : n < 0 ? errno : EIO;
}

int writeSome(int fd, const char* data, std::size_t size, std::size_t& written) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n < 0 ? errno : ENOSPC;  // no progress and no error: as a full disk
    written = static_cast<std::size_t>(n);
    return 0;
}

int truncateTo(int fd, std::uintmax_t size) {
    return ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int syncData(int fd) {
    if (::fsync(fd) == 0 || errno == EINVAL || errno == EROFS) return 0;
    return errno;
}

void syncFolderOf(const std::filesystem::path& path) {
    std::filesystem::path dir = path.parent_path();
    if (dir.empty()) dir = ".";
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

int closeFile(int fd) {
    // Not retried on EINTR: on Linux the descriptor is gone anyway.
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace kvr::os
#endif
