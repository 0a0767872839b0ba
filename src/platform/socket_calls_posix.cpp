#include "platform/socket_calls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include "platform/socket_system.h"

namespace platform {

namespace {

SocketError LastError() {
    return {errno, errno};
}

// Would-block as one value; `error` holds the reason either way.
int Outcome(ssize_t count, SocketError& error) {
    if (count >= 0) {
        return static_cast<int>(count);
    }
    error = LastError();
    return error.number == EAGAIN || error.number == EWOULDBLOCK ? kSocketWouldBlock
                                                                 : kSocketFailed;
}

}  // namespace

bool SocketLayerStartup() {
    return true;
}

int SocketOpen(SocketError& error) {
    const int made = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (made < 0) {
        error = LastError();
    }
    return made;
}

void SocketClose(int socket) {
    close(socket);
}

bool SocketBind(int socket, std::uint32_t address, int port, SocketError& error) {
    const sockaddr_in local = Ipv4SocketAddress(address, port);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = LastError();
        return false;
    }
    return true;
}

bool SocketListen(int socket, int backlog, SocketError& error) {
    if (listen(socket, backlog) != 0) {
        error = LastError();
        return false;
    }
    return true;
}

int SocketAccept(int socket, SocketError& error) {
    int taken = -1;
    do {
        taken = accept4(socket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (taken < 0 && errno == EINTR);
    if (taken < 0) {
        error = LastError();
    }
    return taken;
}

int SocketConnect(int socket, std::uint32_t address, int port, SocketError& error) {
    const sockaddr_in target = Ipv4SocketAddress(address, port);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        return 0;
    }
    error = LastError();
    // An interrupted connect goes on by itself; calling again would only say so.
    return error.number == EINPROGRESS || error.number == EINTR ? kSocketWouldBlock : kSocketFailed;
}

int SocketSend(int socket, const void* data, std::size_t length, SocketError& error) {
    ssize_t count = 0;
    do {
        count = send(socket, data, std::min<std::size_t>(length, 1u << 30),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    return Outcome(count, error);
}

int SocketReceive(int socket, void* buffer, int length, SocketError& error) {
    ssize_t count = 0;
    do {
        count = recv(socket, buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    return Outcome(count, error);
}

int SocketPeek(int socket, SocketError& error) {
    char probe = 0;
    ssize_t count = 0;
    do {
        count = recv(socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    return Outcome(count, error);
}

SocketError SocketPendingError(int socket) {
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return LastError();
    }
    return {error, error};
}

int SocketLocalPort(int socket) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

bool SocketSetSendBuffer(int socket, int bytes) {
    return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool SocketSetNoDelay(int socket) {
    const int on = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool SetAbortiveClose(std::intptr_t socket) {
    const linger abortive{1, 0};
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &abortive,
                      sizeof abortive) == 0;
}

bool PrepareListeningSocket(std::intptr_t socket) {
    const int on = 1;
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

SocketWaitResult SocketWaitWritable(int socket, SocketWaitFor, int timeoutMs, SocketError& error) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd watched{socket, static_cast<short>(POLLOUT | POLLRDHUP), 0};
    int ready = 0;
    for (int wait = timeoutMs;;) {
        ready = poll(&watched, 1, wait);
        if (ready >= 0 || errno != EINTR) {
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        wait = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    if (ready < 0) {
        error = LastError();
        return SocketWaitResult::kFailed;
    }
    if (ready == 0) {
        return SocketWaitResult::kTimedOut;
    }
    // POLLERR comes unasked: a failed connect shows as POLLOUT | POLLERR, its reason in
    // SO_ERROR, so both waits ask for the same.
    return (watched.revents & POLLOUT) != 0 ? SocketWaitResult::kReady : SocketWaitResult::kHungUp;
}

int SocketConnectPollMs() {
    return 0;  // the notifier always reports the end of a connect
}

std::string SocketSystemText(const SocketError& error) {
    return std::strerror(error.number);
}

std::string SocketErrnoText(int number) {
    return std::strerror(number);
}

}  // namespace platform
