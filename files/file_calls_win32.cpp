#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "files/file_calls.h"

namespace kvr::os {

int openDataFile(const std::filesystem::path& path, bool append, int& fd, std::uintmax_t& size) {
    // Binary: text mode would double the CR of every row.
    const int flags = _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT | (append ? _O_APPEND : _O_TRUNC);
    fd = ::_wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0) return errno;
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0) {
        const int err = errno;
        ::_close(fd);
        fd = -1;
        return err;
    }
    size = static_cast<std::uintmax_t>(st.st_size);
    return 0;
}

int readByteAt(int fd, std::uintmax_t at, char& byte) {
    // No pread(): seek and read; _O_APPEND sends every write to the end
    // whatever the position.
    if (::_lseeki64(fd, static_cast<__int64>(at), SEEK_SET) < 0) return errno;
    const int n = ::_read(fd, &byte, 1);
    return n == 1 ? 0 : n < 0 ? errno : EIO;
}

int writeSome(int fd, const char* data, std::size_t size, std::size_t& written) {
    const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
    const int n = ::_write(fd, data, chunk);
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    written = static_cast<std::size_t>(n);
    return 0;
}

int truncateTo(int fd, std::uintmax_t size) { return ::_chsize_s(fd, static_cast<__int64>(size)); }

// _commit is FlushFileBuffers: data and size reach the disk.
int syncData(int fd) { return ::_commit(fd) == 0 ? 0 : errno; }

// The folder entry of a new file is part of the file system's own journal.
void syncFolderOf(const std::filesystem::path&) {}

int closeFile(int fd) { return ::_close(fd) == 0 ? 0 : errno; }

}  // namespace kvr::os
#endif
