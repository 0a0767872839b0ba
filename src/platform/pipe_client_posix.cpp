#include "platform/pipe_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/descriptor_posix.h"

namespace platform {

namespace {

bool IsFolder(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Only a socket of our own user is a listener we talk to: anyone may create a file in the
// shared fallback folder, and our lines should not go to them.
bool IsOwnSocket(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == geteuid();
}

enum class Attempt { kConnected, kBusy, kFailed };

Attempt TryConnect(const sockaddr_un& address, int& descriptor) {
    UniqueFd made(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!made.IsOpen()) {
        return Attempt::kFailed;
    }
    int result = 0;
    do {
        result = connect(made.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        // Lines are written with one blocking call each.
        const int flags = fcntl(made.Get(), F_GETFL);
        if (flags >= 0 && fcntl(made.Get(), F_SETFL, flags & ~O_NONBLOCK) == 0) {
            descriptor = made.Release();
            return Attempt::kConnected;
        }
    }
    // A full queue of pending connections is the only reason to try again.
    return (result != 0 && errno == EAGAIN) ? Attempt::kBusy : Attempt::kFailed;
}

}  // namespace

std::string LogPipePath() {
    const char* runtimeFolder = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = kLogPipeFallbackFolder;
    if (runtimeFolder != nullptr && runtimeFolder[0] != '\0' && IsFolder(runtimeFolder)) {
        folder = runtimeFolder;
    }
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder + kLogPipeName;
}

const char* LogPipeKindName() {
    return "Socket";
}

std::string LogPipeDefaultText() {
    return std::string("$XDG_RUNTIME_DIR/") + kLogPipeName + ", else " + kLogPipeFallbackFolder +
           "/" + kLogPipeName;
}

int ConnectPipe(const std::string& path, int waitMs) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path || !IsOwnSocket(path)) {
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        int descriptor = -1;
        switch (TryConnect(address, descriptor)) {
            case Attempt::kConnected:
                return descriptor;
            case Attempt::kFailed:
                return -1;
            case Attempt::kBusy:
                break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return -1;
        }
        const auto pause = std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(kPipeRetryPauseMs), deadline - now);
        std::this_thread::sleep_for(pause);
    }
}

bool WritePipe(int descriptor, const char* data, std::size_t length, const char* suffix,
               std::size_t suffixLength) {
    if (descriptor < 0) {
        return false;
    }
    iovec parts[2] = {{const_cast<char*>(data), length}, {const_cast<char*>(suffix), 0}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 1;
    if (suffix != nullptr && suffixLength > 0) {
        parts[1].iov_len = suffixLength;
        message.msg_iovlen = 2;
    }
    ssize_t written = 0;
    do {
        written = sendmsg(descriptor, &message, MSG_NOSIGNAL);
    } while (written < 0 && errno == EINTR);
    return written >= 0 && static_cast<std::size_t>(written) == length + parts[1].iov_len;
}

long WritePipeWithin(int descriptor, const char* data, std::size_t length, const char* suffix,
                     std::size_t suffixLength, int timeoutMs) {
    if (descriptor < 0) {
        return -1;
    }
    iovec parts[2] = {{const_cast<char*>(data), length},
                      {const_cast<char*>(suffix), suffix != nullptr ? suffixLength : 0}};
    const std::size_t total = parts[0].iov_len + parts[1].iov_len;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    std::size_t taken = 0;
    while (taken < total) {
        // Skip what the listener has taken already; the second part starts where the first ends.
        iovec rest[2];
        int restCount = 0;
        std::size_t skip = taken;
        for (const iovec& part : parts) {
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                continue;
            }
            rest[restCount++] = {static_cast<char*>(part.iov_base) + skip, part.iov_len - skip};
            skip = 0;
        }
        msghdr message{};
        message.msg_iov = rest;
        message.msg_iovlen = static_cast<std::size_t>(restCount);
        const ssize_t written = sendmsg(descriptor, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            taken += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd watched{descriptor, POLLOUT, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (ready > 0 && (watched.revents & (POLLERR | POLLHUP)) != 0 &&
            (watched.revents & POLLOUT) == 0) {
            return -1;
        }
    }
    return static_cast<long>(taken);
}

void ClosePipe(int descriptor) {
    if (descriptor < 0) {
        return;
    }
    shutdown(descriptor, SHUT_RDWR);
    close(descriptor);
}

}  // namespace platform
