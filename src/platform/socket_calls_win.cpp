#include "platform/socket_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/socket_system.h"
#include "platform/system_text_win.h"

namespace platform {

namespace {

// Winsock's error codes as the errno values the POSIX build reports, so that callers see the
// same numbers on both systems.
int ErrnoOf(int wsaError) {
    switch (wsaError) {
        case 0:
            return 0;
        case WSAEINTR:
            return EINTR;
        case WSAEWOULDBLOCK:
            return EWOULDBLOCK;
        case WSAEINPROGRESS:
        case WSAEALREADY:
            return EINPROGRESS;
        case WSAETIMEDOUT:
            return ETIMEDOUT;
        case WSAECONNREFUSED:
            return ECONNREFUSED;
        case WSAECONNRESET:
            return ECONNRESET;
        case WSAECONNABORTED:
            return ECONNABORTED;
        case WSAENETUNREACH:
        case WSAENETDOWN:
            return ENETUNREACH;
        case WSAEHOSTUNREACH:
            return EHOSTUNREACH;
        case WSAEADDRINUSE:
            return EADDRINUSE;
        case WSAEADDRNOTAVAIL:
            return EADDRNOTAVAIL;
        case WSAENOTCONN:
            return ENOTCONN;
        case WSAESHUTDOWN:
            return EPIPE;
        case WSAENOTSOCK:
            return EBADF;
        case WSAEINVAL:
        case WSAEFAULT:
            return EINVAL;
        default:
            return EIO;
    }
}

SocketError Reason(int wsaError) {
    return {ErrnoOf(wsaError), wsaError};
}

SocketError LastError() {
    return Reason(WSAGetLastError());
}

// The socket kept as an int: Winsock hands out kernel handle values, which the system keeps
// within 32 bits.
SOCKET Sock(int socket) {
    return static_cast<SOCKET>(socket);
}

bool SetNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Would-block as one value; `error` holds the reason either way.
int Outcome(int count, SocketError& error) {
    if (count >= 0) {
        return count;
    }
    error = LastError();
    return error.code == WSAEWOULDBLOCK ? kSocketWouldBlock : kSocketFailed;
}

}  // namespace

// Windows Sockets 2.2, started once for the process and left running until it ends (the
// system releases it then).
bool SocketLayerStartup() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int SocketOpen(SocketError& error) {
    // Not inheritable, as close-on-exec on POSIX.
    const SOCKET made = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET || !SetNonBlocking(made)) {
        error = LastError();
        if (made != INVALID_SOCKET) {
            closesocket(made);
        }
        return -1;
    }
    return static_cast<int>(made);
}

void SocketClose(int socket) {
    closesocket(Sock(socket));
}

bool SocketBind(int socket, std::uint32_t address, int port, SocketError& error) {
    const sockaddr_in local = Ipv4SocketAddress(address, port);
    if (bind(Sock(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = LastError();
        return false;
    }
    return true;
}

bool SocketListen(int socket, int backlog, SocketError& error) {
    if (listen(Sock(socket), backlog) != 0) {
        error = LastError();
        return false;
    }
    return true;
}

int SocketAccept(int socket, SocketError& error) {
    const SOCKET taken = accept(Sock(socket), nullptr, nullptr);
    if (taken == INVALID_SOCKET) {
        error = LastError();
        return -1;
    }
    // An accepted socket takes over the listener's event selection; its own notifier replaces
    // it once it is made non-blocking and kept from child processes.
    SetHandleInformation(reinterpret_cast<HANDLE>(taken), HANDLE_FLAG_INHERIT, 0);
    if (!SetNonBlocking(taken)) {
        error = LastError();
        closesocket(taken);
        return -1;
    }
    return static_cast<int>(taken);
}

int SocketConnect(int socket, std::uint32_t address, int port, SocketError& error) {
    const sockaddr_in target = Ipv4SocketAddress(address, port);
    if (connect(Sock(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
        return 0;
    }
    error = LastError();
    return error.code == WSAEWOULDBLOCK || error.code == WSAEINPROGRESS || error.code == WSAEINTR
               ? kSocketWouldBlock
               : kSocketFailed;
}

int SocketSend(int socket, const void* data, std::size_t length, SocketError& error) {
    int count = 0;
    do {
        count = send(Sock(socket), static_cast<const char*>(data),
                     static_cast<int>(std::min<std::size_t>(length, 1u << 30)), 0);
    } while (count < 0 && WSAGetLastError() == WSAEINTR);
    return Outcome(count, error);
}

int SocketReceive(int socket, void* buffer, int length, SocketError& error) {
    int count = 0;
    do {
        count = recv(Sock(socket), static_cast<char*>(buffer), length, 0);
    } while (count < 0 && WSAGetLastError() == WSAEINTR);
    return Outcome(count, error);
}

int SocketPeek(int socket, SocketError& error) {
    char probe = 0;
    int count = 0;
    do {
        count = recv(Sock(socket), &probe, 1, MSG_PEEK);
    } while (count < 0 && WSAGetLastError() == WSAEINTR);
    return Outcome(count, error);
}

SocketError SocketPendingError(int socket) {
    int error = 0;
    int size = sizeof error;
    if (getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) !=
        0) {
        return LastError();
    }
    return Reason(error);
}

int SocketLocalPort(int socket) {
    sockaddr_in local{};
    int size = sizeof local;
    if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

bool SocketSetSendBuffer(int socket, int bytes) {
    return setsockopt(Sock(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                      sizeof bytes) == 0;
}

bool SocketSetNoDelay(int socket) {
    const BOOL on = TRUE;
    return setsockopt(Sock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                      sizeof on) == 0;
}

bool SetAbortiveClose(std::intptr_t socket) {
    const linger abortive{1, 0};
    return setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER,
                      reinterpret_cast<const char*>(&abortive), sizeof abortive) == 0;
}

// A plain bind already fails on an address and port another socket listens on, and is not held
// up by connections waiting out TIME_WAIT. SO_REUSEADDR would let another socket take the port;
// SO_EXCLUSIVEADDRUSE would keep this one from binding again while its old connections wait.
bool PrepareListeningSocket(std::intptr_t) {
    return true;
}

SocketWaitResult SocketWaitWritable(int socket, SocketWaitFor what, int timeoutMs,
                                    SocketError& error) {
    // select, not WSAPoll: WSAPoll misses a refused connect on some Windows versions. A failed
    // connect shows in the exception set; a reset while waiting to send shows as writable, and
    // the send that follows reports it.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(Sock(socket), &writable);
    if (what == SocketWaitFor::kConnectEnd) {
        FD_SET(Sock(socket), &failed);
    }
    timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready < 0) {
        error = LastError();
        return SocketWaitResult::kFailed;
    }
    return ready == 0 ? SocketWaitResult::kTimedOut : SocketWaitResult::kReady;
}

// Wine does not always post the connect event of a connection refused at once, so a connect
// going on is looked at this often as well.
int SocketConnectPollMs() {
    return 50;
}

// Winsock's own words, which say more than the errno value's.
std::string SocketSystemText(const SocketError& error) {
    return SystemErrorText(static_cast<unsigned long>(error.code));
}

// The POSIX texts of the socket errno values above, which the Windows C library does not know
// ("Unknown error"), so that messages read the same on both systems; the C library's text
// for the rest.
std::string SocketErrnoText(int number) {
    switch (number) {
        case ECONNREFUSED:
            return "Connection refused";
        case ECONNRESET:
            return "Connection reset by peer";
        case ECONNABORTED:
            return "Software caused connection abort";
        case ETIMEDOUT:
            return "Connection timed out";
        case ENETUNREACH:
            return "Network is unreachable";
        case EHOSTUNREACH:
            return "No route to host";
        case EADDRINUSE:
            return "Address already in use";
        case EADDRNOTAVAIL:
            return "Cannot assign requested address";
        case ENOTCONN:
            return "Transport endpoint is not connected";
        case EPIPE:
            return "Broken pipe";
        case EWOULDBLOCK:
            return "Resource temporarily unavailable";
        case EINPROGRESS:
            return "Operation now in progress";
        case EISCONN:
            return "Transport endpoint is already connected";
        default:
            return std::strerror(number);
    }
}

}  // namespace platform
