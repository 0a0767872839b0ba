#pragma once

#include <cstdint>
#include <string>

// The steps of FileWriteLock that ask the system; file_lock_posix.cpp (POSIX) and file_lock_win.cpp
// (Windows) define them, file_lock_common.cpp puts them together.
namespace platform::file_lock_steps {

// Opens (creating when missing) the lock file as FileWriteLock describes; -1 with the whole
// message in `error` when it cannot be used.
std::intptr_t OpenLockFile(const std::string& lockPath, std::string& error);

enum class TryOutcome { kTaken, kBusy, kFailed };
// One attempt to take the lock without waiting; kFailed leaves the reason in `error`.
TryOutcome TryLock(std::intptr_t handle, const std::string& lockPath, std::string& error);

// Releases the lock and closes the file.
void CloseLockFile(std::intptr_t handle);

}  // namespace platform::file_lock_steps
