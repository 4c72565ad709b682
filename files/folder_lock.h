// One writer per folder: a run holds an exclusive lock on a lock file in the
// folder of its running file from before the dump rotation until its files
// are closed and synced. Two runs on one folder (a scheduled run and a person
// at the window) would otherwise rotate the same dumps at once and both write
// a header into a new running file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/app_options.h"
#include "core/platform.h"

namespace kvr {

inline constexpr const char* kFolderLockName = "KVR Probe Data.lock";
// The exit status of a run that gave up waiting for its folder.
inline constexpr int kFolderBusyStatus = kExitFolderLocked;

class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock() { unlock(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Waits up to waitMs for the lock, sleeping on the clock between tries and
    // letting the window run (yield may throw ProgramEnd). False only when
    // another process held it all that time; a folder where no lock file can
    // be made returns true at once without a lock, as nothing can be written
    // there and opening the files says why.
    bool lock(const std::filesystem::path& folder, std::int64_t waitMs, Clock& clock, Screen& screen);
    void unlock();
    bool held() const { return handle_ >= 0; }

private:
    // The system's part, in folder_lock_posix.cpp and folder_lock_win32.cpp:
    // the lock is released by the system when the process dies, so a killed
    // run blocks no one.
    // A handle, or kBusy, or kNoFile when the lock file cannot be opened.
    static constexpr int kBusy = -1, kNoFile = -2;
    static int acquire(const std::filesystem::path& file);
    static void release(int handle);
    int tryOnce(const std::filesystem::path& folder);
    int handle_ = -1;
};

// "KVR"/"Startup" "LockWait": seconds a run waits for a folder another run
// writes (default 60), in milliseconds.
std::int64_t folderLockWaitMs(Settings& settings);

// The "ERROR" box of a run that found its folder taken for too long.
std::string folderBusyMessage(const std::filesystem::path& folder, std::int64_t waitMs);

}  // namespace kvr
