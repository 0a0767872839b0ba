#include "platform/file_read.h"
#include "platform/file_kind.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

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

std::string TooLarge(const std::string& label, std::size_t maxBytes) {
    return label + ": larger than " + std::to_string(maxBytes) + " bytes";
}

// Reads `fd` to its end; false with `error` set on a failed read or more than `maxBytes`.
bool ReadToEnd(int fd, const std::string& label, std::size_t maxBytes,
               std::vector<std::uint8_t>& bytes, std::string& error) {
    std::size_t total = 0;
    while (true) {
        // One byte past the bound tells a file of exactly maxBytes from a larger one.
        const std::size_t room = std::min(kReadChunk, maxBytes + 1 - total);
        bytes.resize(total + room);
        const ssize_t got = ::read(fd, bytes.data() + total, room);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Standard input may have been left non-blocking by whoever shares it.
            pollfd ready{fd, POLLIN, 0};
            ::poll(&ready, 1, -1);
            continue;
        }
        if (got < 0) {
            error = "cannot read " + label + ": " + std::strerror(errno);
            bytes.clear();
            return false;
        }
        total += static_cast<std::size_t>(got);
        if (total > maxBytes) {
            error = TooLarge(label, maxBytes);
            bytes.clear();
            return false;
        }
        if (got == 0) {
            bytes.resize(total);
            return true;
        }
    }
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::size_t maxBytes,
                     std::vector<std::uint8_t>& bytes, std::string& error) {
    bytes.clear();
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (error = RefuseType(path, status.st_mode); !error.empty()) {
        return false;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > maxBytes) {
        error = TooLarge(path, maxBytes);
        return false;
    }
    // O_NONBLOCK: a FIFO swapped in after the stat must not hold the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fstat(fd, &status) == 0;
    if (!ok) {
        error = "cannot open " + path + ": " + std::strerror(errno);
    } else if (error = RefuseType(path, status.st_mode); !error.empty()) {
        ok = false;
    } else {
        ok = ReadToEnd(fd, path, maxBytes, bytes, error);
    }
    ::close(fd);
    return ok;
}

bool ReadStandardInput(std::size_t maxBytes, std::vector<std::uint8_t>& bytes, std::string& error) {
    bytes.clear();
    return ReadToEnd(STDIN_FILENO, "standard input", maxBytes, bytes, error);
}

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
