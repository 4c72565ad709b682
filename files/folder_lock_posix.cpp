// flock() on a lock file that is never deleted: deleting it would let a
// third run lock a new file while a second still holds the old one.
// folder_lock_win32.cpp is the Windows one.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "files/folder_lock.h"

namespace kvr {

int FolderLock::acquire(const std::filesystem::path& file) {
    int fd;
    do {
        fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoFile;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return kBusy;
    }
    return fd;
}

void FolderLock::release(int handle) { ::close(handle); }

}  // namespace kvr
#endif
