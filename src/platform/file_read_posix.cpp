#include "platform/file_io.h"
#include "platform/file_kind_posix.h"
#include "platform/file_read_common.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// No failure when `mode` is a regular file's; otherwise the error for `path`.
Error RefuseType(const std::string& path, mode_t mode) {
    if (S_ISREG(mode)) {
        return {};
    }
    if (S_ISDIR(mode)) {
        return Error::OfErrno(EISDIR).In("cannot open " + path);
    }
    return Error{0, path + ": not a regular file (" + FileKindName(mode) + ")"};
}

}  // namespace

namespace file_read_steps {

Error RefuseBeforeOpen(const std::string& path, std::size_t maxBytes) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return Error::OfErrno(errno).In("cannot open " + path);
    }
    if (Error refused = RefuseType(path, status.st_mode)) {
        return refused;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
        return TooLarge(path, maxBytes);
    }
    return {};
}

// O_NONBLOCK: a FIFO swapped in after the stat must not hold the open.
Result<int> OpenNoWait(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return Error::OfErrno(errno);
    }
    return descriptor;
}

Error RefuseOpened(int descriptor, const std::string& path, std::size_t) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return Error::OfErrno(errno).In("cannot open " + path);
    }
    return RefuseType(path, status.st_mode);
}

Result<std::size_t> ReadWaiting(int descriptor, void* buffer, std::size_t size) {
    Result<std::size_t> got = ReadSome(descriptor, buffer, size);
    // Standard input may have been left non-blocking by whoever shares it.
    while (!got && (got.error().code == EAGAIN || got.error().code == EWOULDBLOCK)) {
        pollfd ready{descriptor, POLLIN, 0};
        ::poll(&ready, 1, -1);
        got = ReadSome(descriptor, buffer, size);
    }
    return got;
}

int StandardInputDescriptor() {
    return STDIN_FILENO;
}

}  // namespace file_read_steps

const char* FileKindName(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "folder";
    }
    if (S_ISFIFO(mode)) {
        return "FIFO";
    }
    if (S_ISSOCK(mode)) {
        return "socket";
    }
    if (S_ISCHR(mode)) {
        return "character device";
    }
    if (S_ISBLK(mode)) {
        return "block device";
    }
    return "unknown kind";
}

}  // namespace platform
