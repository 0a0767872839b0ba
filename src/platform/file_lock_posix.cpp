#include "platform/descriptor_posix.h"
#include "platform/file_kind_posix.h"
#include "platform/file_lock_common.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::file_lock_steps {

namespace {

constexpr mode_t kLockFileMode = 0666;  // narrowed by the umask

std::intptr_t Refuse(std::string& error, const std::string& lockPath, const std::string& why) {
    error = "cannot lock " + lockPath + ": " + why;
    return -1;
}

std::string KindOf(mode_t mode) {
    return S_ISDIR(mode) ? std::string(std::strerror(EISDIR))
                         : "not a regular file (" + std::string(FileKindName(mode)) + ")";
}

}  // namespace

// The lstat keeps FIFOs and devices from being opened at all (an open of a device can act on
// it); O_NOFOLLOW and O_NONBLOCK cover whatever is put in place between the lstat and the open,
// and the fstat checks what was opened.
std::intptr_t OpenLockFile(const std::string& lockPath, std::string& error) {
    struct stat named {};
    if (::lstat(lockPath.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
        return Refuse(error, lockPath,
                      S_ISLNK(named.st_mode) ? "a symbolic link" : KindOf(named.st_mode));
    }
    UniqueFd fd;
    do {
        fd.Reset(::open(lockPath.c_str(),
                        O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        kLockFileMode));
    } while (!fd.IsOpen() && errno == EINTR);
    if (!fd.IsOpen()) {
        return Refuse(error, lockPath, errno == ELOOP ? "a symbolic link" : std::strerror(errno));
    }
    struct stat opened {};
    const bool known = ::fstat(fd.Get(), &opened) == 0;
    if (!known || !S_ISREG(opened.st_mode)) {
        return Refuse(error, lockPath, known ? KindOf(opened.st_mode) : std::strerror(errno));
    }
    return fd.Release();
}

TryOutcome TryLock(std::intptr_t handle, const std::string& lockPath, std::string& error) {
    int result = 0;
    do {
        result = ::flock(static_cast<int>(handle), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        return TryOutcome::kTaken;
    }
    if (errno == EWOULDBLOCK) {
        return TryOutcome::kBusy;
    }
    error = "cannot lock " + lockPath + ": " + std::strerror(errno);
    return TryOutcome::kFailed;
}

void CloseLockFile(std::intptr_t handle) {
    ::close(static_cast<int>(handle));  // ends the lock with the open file
}

}  // namespace platform::file_lock_steps
