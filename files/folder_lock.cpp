#include "files/folder_lock.h"

#include <algorithm>

#include "core/numbers.h"

namespace kvr {

namespace {
// Between tries: short enough that a waiting run starts soon after the other
// one ends, long enough to cost nothing while it waits.
constexpr std::int64_t kRetryMs = 100;
}  // namespace

int FolderLock::tryOnce(const std::filesystem::path& folder) {
    if (handle_ >= 0) return handle_;
    const int h = acquire(folder / kFolderLockName);
    if (h >= 0) handle_ = h;
    return h;
}

bool FolderLock::lock(const std::filesystem::path& folder, std::int64_t waitMs, Clock& clock, Screen& screen) {
    const std::int64_t deadline = clock.monotonicMs() + std::max<std::int64_t>(waitMs, 0);
    bool told = false;
    for (int h = tryOnce(folder); h < 0; h = tryOnce(folder)) {
        if (h == kNoFile) return true;
        const std::int64_t now = clock.monotonicMs();
        if (now >= deadline) return false;
        if (!told) screen.showEvent("Waiting for another program writing to " + folder.string() + " ...");
        told = true;
        clock.sleepUntil(std::min(deadline, now + kRetryMs));
        screen.yield();
    }
    return true;
}

void FolderLock::unlock() {
    if (handle_ >= 0) release(handle_);
    handle_ = -1;
}

std::int64_t folderLockWaitMs(Settings& settings) {
    const std::int64_t seconds = leadingInt(settings.get("KVR", "Startup", "LockWait", "60"));
    return std::max<std::int64_t>(seconds, 0) * 1000;
}

std::string folderBusyMessage(const std::filesystem::path& folder, std::int64_t waitMs) {
    return "Another program has been writing to " + folder.string() + " for " + std::to_string(waitMs / 1000) +
           " seconds.\rNo file was written; the readings have been left on the device.";
}

}  // namespace kvr
