// LockFileEx() on a lock file that is never deleted, as in
// folder_lock_posix.cpp. Windows releases the lock when the handle is closed
// or the process dies, so a killed run blocks no one.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>

#include "files/folder_lock.h"

namespace kvr {

int FolderLock::acquire(const std::filesystem::path& file) {
    // Every sharing allowed: the other run must be able to open the file to
    // find it locked. Not inherited by child processes.
    const HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoFile;
    OVERLAPPED at{};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at)) {
        ::CloseHandle(h);
        return kBusy;
    }
    // The C library's descriptor owns the handle from here: _close() in
    // release() closes it, and the caller keeps a plain int.
    const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(h), _O_RDONLY);
    if (fd < 0) {
        ::CloseHandle(h);
        return kNoFile;
    }
    return fd;
}

void FolderLock::release(int handle) { ::_close(handle); }

}  // namespace kvr
#endif
