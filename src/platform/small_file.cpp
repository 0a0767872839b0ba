#include "platform/small_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

SmallFileRead Refused(std::string reason) {
    return {SmallFileRead::Outcome::kRefused, {}, std::move(reason)};
}

SmallFileRead FromErrno(const char* what, int errorNumber) {
    if (errorNumber == ENOENT || errorNumber == ENOTDIR) {
        return {SmallFileRead::Outcome::kMissing, {}, {}};
    }
    return Refused(std::string(what) + ": " + std::strerror(errorNumber));
}

// Why a file of this kind and size cannot be read whole; empty when it can.
std::string TypeProblem(const struct stat& status, std::size_t maxBytes) {
    if (S_ISDIR(status.st_mode)) {
        return "is a directory";
    }
    if (S_ISFIFO(status.st_mode)) {
        return "is a FIFO";
    }
    if (S_ISCHR(status.st_mode)) {
        return "is a character device";
    }
    if (S_ISBLK(status.st_mode)) {
        return "is a block device";
    }
    if (S_ISSOCK(status.st_mode)) {
        return "is a socket";
    }
    if (!S_ISREG(status.st_mode)) {
        return "is not a regular file";
    }
    if (status.st_size < 0 || static_cast<std::size_t>(status.st_size) > maxBytes) {
        return "is larger than " + std::to_string(maxBytes) + " bytes";
    }
    return {};
}

}  // namespace

SmallFileRead ReadSmallFile(const std::string& path, std::size_t maxBytes) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return FromErrno("cannot be examined", errno);
    }
    if (auto problem = TypeProblem(status, maxBytes); !problem.empty()) {
        return Refused(std::move(problem));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return FromErrno("cannot be opened", errno);
    }
    SmallFileRead result{SmallFileRead::Outcome::kRead, {}, {}};
    if (::fstat(fd, &status) != 0) {
        result = Refused(std::string("cannot be examined: ") + std::strerror(errno));
    } else if (auto problem = TypeProblem(status, maxBytes); !problem.empty()) {
        result = Refused(std::move(problem));
    }
    char chunk[kReadChunk];
    while (result.outcome == SmallFileRead::Outcome::kRead) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            result = Refused(std::string("cannot be read: ") + std::strerror(errno));
        } else if (got == 0) {
            break;
        } else if (result.bytes.size() + static_cast<std::size_t>(got) > maxBytes) {
            result = Refused("is larger than " + std::to_string(maxBytes) + " bytes");  // grew
        } else {
            result.bytes.append(chunk, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return result;
}

}  // namespace platform
