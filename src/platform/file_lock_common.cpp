#include "platform/file_lock_common.h"
#include "platform/file_lock.h"

#include <algorithm>
#include <thread>

#include "platform/file_replace.h"

namespace platform {

namespace {

// Neither flock nor LockFileEx can wait for a limited time, so the lock is tried again after
// pauses that grow to a bound: a short write by another process costs little delay.
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{20};

// "5 s", or "250 ms" for a wait that is not a whole number of seconds.
std::string Duration(std::chrono::milliseconds wait) {
    return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                    : std::to_string(wait.count()) + " ms";
}

}  // namespace

FileWriteLock::~FileWriteLock() {
    if (handle_ != -1) {
        file_lock_steps::CloseLockFile(handle_);
    }
}

std::string FileWriteLock::LockFileOf(const std::string& path) {
    return ReplacedFile(path) + ".lock";
}

bool FileWriteLock::Acquire(const std::string& path, std::chrono::milliseconds wait,
                            std::string* error) {
    using file_lock_steps::TryOutcome;
    if (handle_ != -1) {
        file_lock_steps::CloseLockFile(handle_);  // a second lock of ours would wait for it
        handle_ = -1;
    }
    std::string reason;
    const std::string lockPath = LockFileOf(path);
    const std::intptr_t handle = file_lock_steps::OpenLockFile(lockPath, reason);
    if (handle == -1) {
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = kFirstPause;
    TryOutcome outcome = file_lock_steps::TryLock(handle, lockPath, reason);
    while (outcome == TryOutcome::kBusy && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
        outcome = file_lock_steps::TryLock(handle, lockPath, reason);
    }
    if (outcome != TryOutcome::kTaken) {
        file_lock_steps::CloseLockFile(handle);
        if (error != nullptr) {
            *error = outcome == TryOutcome::kFailed
                         ? reason
                         : lockPath + ": held by another writer for more than " + Duration(wait);
        }
        return false;
    }
    handle_ = handle;
    return true;
}

}  // namespace platform
