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

Error FileWriteLock::Acquire(const std::string& path, std::chrono::milliseconds wait) {
    using file_lock_steps::TryOutcome;
    if (handle_ != -1) {
        file_lock_steps::CloseLockFile(handle_);  // a second lock of ours would wait for it
        handle_ = -1;
    }
    const std::string lockPath = LockFileOf(path);
    const Result<std::intptr_t> handle = file_lock_steps::OpenLockFile(lockPath);
    if (!handle) {
        return handle.error();
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = kFirstPause;
    Result<TryOutcome> outcome = file_lock_steps::TryLock(*handle, lockPath);
    while (outcome && *outcome == TryOutcome::kBusy &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
        outcome = file_lock_steps::TryLock(*handle, lockPath);
    }
    if (!outcome || *outcome != TryOutcome::kTaken) {
        file_lock_steps::CloseLockFile(*handle);
        return outcome
                   ? Error{0, lockPath + ": held by another writer for more than " + Duration(wait)}
                   : outcome.error();
    }
    handle_ = *handle;
    return {};
}

}  // namespace platform
