#pragma once

#include <cstdint>
#include <string>

#include "platform/error.h"

// The steps of FileWriteLock that ask the system; file_lock_posix.cpp (POSIX) and file_lock_win.cpp
// (Windows) define them, file_lock_common.cpp puts them together.
namespace platform::file_lock_steps {

// Opens (creating when missing) the lock file as FileWriteLock describes; the whole message
// when it cannot be used.
Result<std::intptr_t> OpenLockFile(const std::string& lockPath);

enum class TryOutcome { kTaken, kBusy };
// One attempt to take the lock without waiting; the whole message when the system refuses it.
Result<TryOutcome> TryLock(std::intptr_t handle, const std::string& lockPath);

// Releases the lock and closes the file.
void CloseLockFile(std::intptr_t handle);

}  // namespace platform::file_lock_steps
