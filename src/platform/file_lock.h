#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/error.h"

namespace platform {

// An exclusive lock that lets one writer at a time read, change and replace a file, so that
// writers from several processes never lose each other's changes.
//
// The lock is taken on a lock file beside the file, "NAME.lock", not on the file itself: every
// write replaces the file by renaming a new one over it (ReplaceFileContents). A lock on the
// file would belong to the old file: a writer that opened the name just before a rename would
// lock the replaced file while the next one locks its successor, and both would go ahead. The
// lock file is never replaced and never removed (removing it brings the same race back), so
// every writer locks the same file. It stays empty. It sits beside the file that is really
// replaced (the end of a symbolic link), so that every name of one file shares one lock.
//
// POSIX: flock(2) on the lock file, so that a script can take the same lock with flock(1).
// Windows: LockFileEx on its first byte. Either way the system drops the lock when the process
// ends, so a crashed writer never leaves the file locked.
//
// The lock file is opened read-only (a lock needs no write access, so a shared settings file
// can be locked by everyone who may read it), created when missing, never through a symbolic
// link and never in a way that blocks; it must be a regular file. A link, FIFO, folder or
// device under that name is refused with its reason; nothing is written to it in any case.
// Readers take no lock: a replacement lets them see the old file or the new one, whole.
class FileWriteLock {
  public:
    FileWriteLock() = default;
    ~FileWriteLock();  // releases the lock
    FileWriteLock(const FileWriteLock&) = delete;
    FileWriteLock& operator=(const FileWriteLock&) = delete;

    // Takes the lock for writing `path`, waiting at most `wait` while another process holds
    // it. Fails when the lock file cannot be opened or created ("cannot lock PATH.lock:
    // REASON", with the system's error number where there is one), or the lock stayed taken
    // ("PATH.lock: held by another writer for more than N s", code 0).
    Error Acquire(const std::string& path, std::chrono::milliseconds wait);

    // The lock file that Acquire(path, ...) uses.
    static std::string LockFileOf(const std::string& path);

  private:
    std::intptr_t handle_ = -1;  // the open lock file while locked
};

}  // namespace platform
