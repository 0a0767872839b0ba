#pragma once

// Raw TCP sockets on 127.0.0.1 for the test peers, on POSIX sockets and on Winsock alike: the
// peers need what Qt's sockets hide (a listener that never accepts, a small receive buffer, a
// reset instead of a close), so they keep raw sockets and come here for the calls that differ.
// A socket is an int on both systems (Winsock's handles are small numbers); -1 is none.

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// windows.h (through winsock2.h) maps MessageBox and PostMessage to their ...W functions; the
// program's own interfaces have members of those names.
#undef MessageBox
#undef PostMessage
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace testing_support {

// What a non-blocking receive returned: bytes (> 0), the end (0), or nothing yet / an error.
enum : long { kRecvWouldBlock = -2, kRecvError = -1 };

inline sockaddr_in LoopbackAddress(int port, const char* address = "127.0.0.1") {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &at.sin_addr);
    return at;
}

#ifdef _WIN32

inline bool StartSockets() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

inline int OpenTcpSocket() {
    StartSockets();
    const SOCKET handle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return handle == INVALID_SOCKET ? -1 : static_cast<int>(handle);
}

inline void CloseSocket(int socket) {
    if (socket >= 0) {
        closesocket(static_cast<SOCKET>(socket));
    }
}

inline bool SetNonBlocking(int socket, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &mode) == 0;
}

// 1 ready, 0 time up, -1 error.
inline int PollSocket(int socket, bool forWriting, int timeoutMs) {
    WSAPOLLFD watched{static_cast<SOCKET>(socket), forWriting ? short(POLLOUT) : short(POLLIN), 0};
    const int ready = WSAPoll(&watched, 1, timeoutMs);
    return ready > 0 ? 1 : ready;
}

inline bool LastErrorIsInProgress() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
inline bool LastErrorIsReset() {
    return WSAGetLastError() == WSAECONNRESET;
}

inline long SendBytes(int socket, const char* data, std::size_t size) {
    return send(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
}

inline long RecvBytes(int socket, char* data, std::size_t size) {
    return recv(static_cast<SOCKET>(socket), data, static_cast<int>(size), 0);
}

// Receives what is waiting without blocking.
inline long RecvNow(int socket, char* data, std::size_t size) {
    if (PollSocket(socket, false, 0) == 0) {
        return kRecvWouldBlock;
    }
    return RecvBytes(socket, data, size);
}

inline int AcceptSocket(int listener) {
    const SOCKET handle = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return handle == INVALID_SOCKET ? -1 : static_cast<int>(handle);
}

inline bool SetReceiveBuffer(int socket, int bytes) {
    return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

inline bool SetSendTimeout(int socket, int milliseconds) {
    const DWORD timeout = static_cast<DWORD>(milliseconds);
    return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_SNDTIMEO,
                      reinterpret_cast<const char*>(&timeout), sizeof timeout) == 0;
}

// Closes with a reset (SO_LINGER 0).
inline void ResetSocket(int socket) {
    const linger abortive{1, 0};
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
               reinterpret_cast<const char*>(&abortive), sizeof abortive);
    CloseSocket(socket);
}

#else

inline bool StartSockets() {
    return true;
}

inline int OpenTcpSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

inline void CloseSocket(int socket) {
    if (socket >= 0) {
        close(socket);
    }
}

inline bool SetNonBlocking(int socket, bool on) {
    const int flags = fcntl(socket, F_GETFL);
    return fcntl(socket, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

// 1 ready, 0 time up, -1 error.
inline int PollSocket(int socket, bool forWriting, int timeoutMs) {
    pollfd watched{socket, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
    int ready = 0;
    do {
        ready = poll(&watched, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 ? 1 : ready;
}

inline bool LastErrorIsInProgress() {
    return errno == EINPROGRESS;
}
inline bool LastErrorIsReset() {
    return errno == ECONNRESET;
}

inline long SendBytes(int socket, const char* data, std::size_t size) {
    return send(socket, data, size, MSG_NOSIGNAL);
}

inline long RecvBytes(int socket, char* data, std::size_t size) {
    long count = 0;
    do {
        count = recv(socket, data, size, 0);
    } while (count < 0 && errno == EINTR);
    return count;
}

// Receives what is waiting without blocking.
inline long RecvNow(int socket, char* data, std::size_t size) {
    const long count = recv(socket, data, size, MSG_DONTWAIT);
    return count < 0 && (errno == EAGAIN || errno == EINTR) ? kRecvWouldBlock : count;
}

inline int AcceptSocket(int listener) {
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline bool SetReceiveBuffer(int socket, int bytes) {
    return setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

inline bool SetSendTimeout(int socket, int milliseconds) {
    const timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

// Closes with a reset (SO_LINGER 0).
inline void ResetSocket(int socket) {
    const linger abortive{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    CloseSocket(socket);
}

#endif

// Binds a new socket to `address`:`port` (0: a free port) and listens; -1 when it cannot.
// `receiveBuffer` > 0 shrinks the receive buffer that accepted connections inherit.
inline int ListenLoopback(int backlog, int receiveBuffer = 0, const char* address = "127.0.0.1",
                          int* port = nullptr) {
    const int listener = OpenTcpSocket();
    if (listener < 0) {
        return -1;
    }
    if (receiveBuffer > 0) {
        SetReceiveBuffer(listener, receiveBuffer);
    }
    sockaddr_in at = LoopbackAddress(0, address);
    socklen_t size = sizeof at;
    if (bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
        listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
        CloseSocket(listener);
        return -1;
    }
    if (port != nullptr) {
        *port = ntohs(at.sin_port);
    }
    return listener;
}

// Starts a connect to `address`:`port` without waiting for it; the socket stays non-blocking.
inline int StartConnect(int port, const char* address = "127.0.0.1") {
    const int socket = OpenTcpSocket();
    if (socket < 0) {
        return -1;
    }
    SetNonBlocking(socket, true);
    const sockaddr_in at = LoopbackAddress(port, address);
    connect(socket, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    return socket;
}

// A blocking connect to `address`:`port`, bounded by `timeoutMs`; -1 when it fails.
inline int ConnectWithin(int port, int timeoutMs, const char* address = "127.0.0.1") {
    const int socket = OpenTcpSocket();
    if (socket < 0) {
        return -1;
    }
    SetNonBlocking(socket, true);
    const sockaddr_in at = LoopbackAddress(port, address);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (!LastErrorIsInProgress() || PollSocket(socket, true, timeoutMs) != 1 ||
            getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0 ||
            error != 0) {
            CloseSocket(socket);
            return -1;
        }
    }
    SetNonBlocking(socket, false);
    return socket;
}

inline bool SendAllBytes(int socket, const std::string& bytes) {
    return SendBytes(socket, bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

}  // namespace testing_support
