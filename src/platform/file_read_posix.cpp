#include "platform/file_io.h"
#include "platform/file_kind_posix.h"
#include "platform/file_read_common.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// Empty when `mode` is a regular file's; otherwise the error for `path`.
std::string RefuseType(const std::string& path, mode_t mode) {
    if (S_ISREG(mode)) {
        return {};
    }
    if (S_ISDIR(mode)) {
        return "cannot open " + path + ": " + std::strerror(EISDIR);
    }
    return path + ": not a regular file (" + FileKindName(mode) + ")";
}

}  // namespace

namespace file_read_steps {

std::string RefuseBeforeOpen(const std::string& path, std::size_t maxBytes) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return "cannot open " + path + ": " + std::strerror(errno);
    }
    if (std::string refused = RefuseType(path, status.st_mode); !refused.empty()) {
        return refused;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
        return TooLarge(path, maxBytes);
    }
    return {};
}

// O_NONBLOCK: a FIFO swapped in after the stat must not hold the open.
int OpenNoWait(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

std::string RefuseOpened(int descriptor, const std::string& path, std::size_t) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return "cannot open " + path + ": " + std::strerror(errno);
    }
    return RefuseType(path, status.st_mode);
}

long ReadWaiting(int descriptor, void* buffer, std::size_t size) {
    long got = ReadSome(descriptor, buffer, size);
    // Standard input may have been left non-blocking by whoever shares it.
    while (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
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
