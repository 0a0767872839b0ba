#include "platform/descriptor_posix.h"
#include "platform/file_kind_posix.h"
#include "platform/file_lock_common.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::file_lock_steps {

namespace {

constexpr mode_t kLockFileMode = 0666;  // narrowed by the umask

Error Refuse(const std::string& lockPath, int code, const std::string& why) {
    return Error{code, "cannot lock " + lockPath + ": " + why};
}

Error RefuseKind(const std::string& lockPath, mode_t mode) {
    return S_ISDIR(mode) ? Error::OfErrno(EISDIR).In("cannot lock " + lockPath)
                         : Refuse(lockPath, 0,
                                  "not a regular file (" + std::string(FileKindName(mode)) + ")");
}

}  // namespace

// The lstat keeps FIFOs and devices from being opened at all (an open of a device can act on
// it); O_NOFOLLOW and O_NONBLOCK cover whatever is put in place between the lstat and the open,
// and the fstat checks what was opened.
Result<std::intptr_t> OpenLockFile(const std::string& lockPath) {
    struct stat named {};
    if (::lstat(lockPath.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
        return S_ISLNK(named.st_mode) ? Refuse(lockPath, ELOOP, "a symbolic link")
                                      : RefuseKind(lockPath, named.st_mode);
    }
    UniqueFd fd;
    do {
        fd.Reset(::open(lockPath.c_str(),
                        O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        kLockFileMode));
    } while (!fd.IsOpen() && errno == EINTR);
    if (!fd.IsOpen()) {
        return errno == ELOOP ? Refuse(lockPath, ELOOP, "a symbolic link")
                              : Error::OfErrno(errno).In("cannot lock " + lockPath);
    }
    struct stat opened {};
    const bool known = ::fstat(fd.Get(), &opened) == 0;
    if (!known || !S_ISREG(opened.st_mode)) {
        return known ? RefuseKind(lockPath, opened.st_mode)
                     : Error::OfErrno(errno).In("cannot lock " + lockPath);
    }
    return static_cast<std::intptr_t>(fd.Release());
}

Result<TryOutcome> TryLock(std::intptr_t handle, const std::string& lockPath) {
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
    return Error::OfErrno(errno).In("cannot lock " + lockPath);
}

void CloseLockFile(std::intptr_t handle) {
    ::close(static_cast<int>(handle));  // ends the lock with the open file
}

}  // namespace platform::file_lock_steps
