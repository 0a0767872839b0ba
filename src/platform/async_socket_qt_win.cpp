#include "platform/async_socket_qt.h"

// Winsock implementation of the POSIX socket in async_socket_qt.cpp; see that file for the
// rules both keep.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include <QSocketNotifier>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket_layer.h"

namespace platform {

namespace {

// The notifier whose activation is being handled: a handler that closes or deletes its socket
// must not destroy it under Qt's feet, so it is handed to deleteLater instead.
thread_local QSocketNotifier* dispatchingNotifier = nullptr;

// What WaitFor waits for.
constexpr short kWaitConnect = 1;
constexpr short kWaitSend = 2;

bool ResolveIPv4(const std::string& text, int port, sockaddr_in& target) {
    if (text.empty()) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    target = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    freeaddrinfo(found);
    return true;
}

using Clock = std::chrono::steady_clock;

// The socket handle kept as the header's int: Winsock hands out small kernel handle values,
// which the system keeps within 32 bits.
SOCKET Sock(int descriptor) {
    return static_cast<SOCKET>(descriptor);
}

// Winsock's error codes as the errno values the POSIX build reports, so that callers see the
// same numbers on both systems.
int ErrnoOf(int wsaError) {
    switch (wsaError) {
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

int LastSocketError() {
    return ErrnoOf(WSAGetLastError());
}

bool SetNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

AsyncSocket::AsyncSocket() = default;

AsyncSocket::~AsyncSocket() {
    if (descriptor_ >= 0) {
        Release();
    }
}

bool AsyncSocket::Create(unsigned localPort, int socketType, long eventMask,
                         const char* localAddress) {
    if (descriptor_ >= 0 || socketType != kSockStream || localPort > 65535) {
        return false;
    }
    if (!SocketLayerStartup()) {
        lastError_ = EIO;
        return false;
    }
    // Not inheritable, as close-on-exec on POSIX.
    const SOCKET made = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET || !SetNonBlocking(made)) {
        lastError_ = LastSocketError();
        if (made != INVALID_SOCKET) {
            closesocket(made);
        }
        return false;
    }
    Attach(static_cast<int>(made), eventMask);
    // Binding to any address and any port is what connect does by itself.
    if (localPort == 0 && localAddress == nullptr) {
        return true;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(localPort));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    bool bound = localAddress == nullptr || inet_pton(AF_INET, localAddress, &local.sin_addr) == 1;
    if (bound) {
        bound = bind(Sock(descriptor_), reinterpret_cast<const sockaddr*>(&local),
                     sizeof local) == 0;
        lastError_ = bound ? 0 : LastSocketError();
    } else {
        lastError_ = EINVAL;
    }
    if (!bound) {
        Close();
        return false;
    }
    return true;
}

bool AsyncSocket::Listen(int backlog) {
    if (descriptor_ < 0 || connected_ || listen(Sock(descriptor_), backlog) != 0) {
        lastError_ = descriptor_ < 0 ? EBADF : LastSocketError();
        return false;
    }
    listening_ = true;
    WatchEvents();
    return true;
}

bool AsyncSocket::Accept(AsyncSocket& connected) {
    if (!listening_ || connected.descriptor_ >= 0) {
        lastError_ = EINVAL;
        return false;
    }
    const SOCKET taken = accept(Sock(descriptor_), nullptr, nullptr);
    lastError_ = taken == INVALID_SOCKET ? LastSocketError() : 0;
    ResumeEvents();
    if (taken == INVALID_SOCKET) {
        return false;
    }
    // An accepted socket inherits the listener's event selection: cleared, then made
    // non-blocking, before its own notifier takes over.
    SetHandleInformation(reinterpret_cast<HANDLE>(taken), HANDLE_FLAG_INHERIT, 0);
    if (!SetNonBlocking(taken)) {
        lastError_ = LastSocketError();
        closesocket(taken);
        return false;
    }
    connected.Attach(static_cast<int>(taken), eventMask_);
    connected.connected_ = true;
    connected.WatchEvents();
    return true;
}

bool AsyncSocket::Connect(const std::string& address, int port) {
    sockaddr_in target{};
    if (descriptor_ < 0 || listening_ || connected_ || port < 0 || port > 65535 ||
        !ResolveIPv4(address, port, target)) {
        lastError_ = EINVAL;
        return false;
    }
    if (connect(Sock(descriptor_), reinterpret_cast<const sockaddr*>(&target), sizeof target) !=
        0) {
        const int started = WSAGetLastError();
        if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS && started != WSAEINTR) {
            lastError_ = ErrnoOf(started);
            return false;
        }
        const WaitResult waited = WaitFor(kWaitConnect, connectTimeoutMs_);
        if (waited == WaitResult::kTimedOut) {
            lastError_ = ETIMEDOUT;
            return false;
        }
        if (waited == WaitResult::kCancelled || waited == WaitResult::kFailed) {
            return false;
        }
        int error = 0;
        int size = sizeof error;
        if (getsockopt(Sock(descriptor_), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                       &size) != 0 ||
            error != 0) {
            lastError_ = error != 0 ? ErrnoOf(error) : LastSocketError();
            return false;
        }
    }
    connected_ = true;
    WatchEvents();
    return true;
}

int AsyncSocket::Send(const void* data, int length) {
    if (descriptor_ < 0 || length < 0 || (data == nullptr && length > 0)) {
        lastError_ = EINVAL;
        return kSocketError;
    }
    const auto* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        const int count = send(Sock(descriptor_), bytes + sent, length - sent, 0);
        const int error = count < 0 ? WSAGetLastError() : 0;
        if (count > 0) {
            sent += count;
            continue;
        }
        if (count < 0 && error == WSAEINTR) {
            continue;
        }
        if (count < 0 && error == WSAEWOULDBLOCK) {
            // The peer is slow: wait for room, but not for a peer that has stopped reading.
            const WaitResult waited = WaitFor(kWaitSend, kSendStallTimeoutMs);
            if (waited == WaitResult::kReady) {
                continue;
            }
            switch (waited) {
                case WaitResult::kPeerClosed:
                    lastError_ = ECONNRESET;
                    break;
                case WaitResult::kTimedOut:
                    lastError_ = ETIMEDOUT;
                    break;
                case WaitResult::kFailed:
                    break;  // WaitFor kept the system's error
                default:
                    lastError_ = EINTR;
                    break;
            }
            return kSocketError;
        }
        lastError_ = count < 0 ? ErrnoOf(error) : EIO;
        return kSocketError;
    }
    return length;
}

int AsyncSocket::Receive(void* buffer, int length) {
    if (descriptor_ < 0 || listening_ || length < 0 || (buffer == nullptr && length > 0)) {
        lastError_ = EINVAL;
        return kSocketError;
    }
    const int count = recv(Sock(descriptor_), static_cast<char*>(buffer), length, 0);
    lastError_ = count < 0 ? LastSocketError() : 0;
    ResumeEvents();
    return count < 0 ? kSocketError : count;
}

void AsyncSocket::Close() {
    if (descriptor_ < 0) {
        return;
    }
    CancelBlockingCall();
    Release();
}

void AsyncSocket::CancelBlockingCall() {
    if (inBlockingCall_) {
        cancelRequested_ = true;
    }
}

void AsyncSocket::OnReceive(int) {}

void AsyncSocket::OnClose(int) {}

void AsyncSocket::OnAccept(int) {}

bool AsyncSocket::OnMessagePending() {
    return false;
}

bool AsyncSocket::SetSendBufferSize(int bytes) {
    if (descriptor_ < 0) {
        return false;
    }
    return setsockopt(Sock(descriptor_), SOL_SOCKET, SO_SNDBUF,
                      reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

int AsyncSocket::LocalPort() const {
    sockaddr_in local{};
    int size = sizeof local;
    if (descriptor_ < 0 ||
        getsockname(Sock(descriptor_), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void AsyncSocket::Attach(int descriptor, long eventMask) {
    descriptor_ = descriptor;
    eventMask_ = eventMask;
    listening_ = false;
    connected_ = false;
    closeReported_ = false;
}

void AsyncSocket::Release() {
    StopEvents();
    closesocket(Sock(descriptor_));
    descriptor_ = -1;
    listening_ = false;
    connected_ = false;
}

// Only connected and listening sockets are watched. Qt's notifier on Windows selects read,
// accept and close events of the socket (WSAAsyncSelect) and, like the original platform, posts
// a read event again only after a recv.
void AsyncSocket::WatchEvents() {
    notifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(descriptor_),
                                                  QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { DispatchEvent(); });
}

// The notifier is level-triggered; like the original platform, an event is raised again only
// after the call that consumes it (Receive, Accept).
void AsyncSocket::ResumeEvents() {
    if (notifier_ && !closeReported_) {
        notifier_->setEnabled(true);
    }
}

void AsyncSocket::StopEvents() {
    if (!notifier_) {
        return;
    }
    notifier_->setEnabled(false);
    if (notifier_.get() == dispatchingNotifier) {
        notifier_.release()->deleteLater();
    } else {
        notifier_.reset();
    }
}

void AsyncSocket::DispatchEvent() {
    QSocketNotifier* const notifier = notifier_.get();
    notifier->setEnabled(false);
    QSocketNotifier* const outer = dispatchingNotifier;
    dispatchingNotifier = notifier;

    // Decide before calling out: the handler may delete this object.
    if (listening_) {
        if ((eventMask_ & kFdAccept) != 0) {
            OnAccept(0);
        }
        dispatchingNotifier = outer;
        return;
    }
    char probe = 0;
    const int count = recv(Sock(descriptor_), &probe, 1, MSG_PEEK);
    const int peekError = count < 0 ? WSAGetLastError() : 0;
    if (count > 0) {
        if ((eventMask_ & kFdRead) != 0) {
            OnReceive(0);
        }
    } else if (count < 0 && (peekError == WSAEWOULDBLOCK || peekError == WSAEINTR)) {
        notifier->setEnabled(true);  // woken for nothing
    } else {
        const int error = count == 0 ? 0 : ErrnoOf(peekError);
        closeReported_ = true;
        if ((eventMask_ & kFdClose) != 0) {
            OnClose(error);
        }
    }
    dispatchingNotifier = outer;
}

// select, not WSAPoll: WSAPoll does not report a refused connect on every Windows version. A
// failed connect shows in the exception set; a reset while waiting to send shows as writable,
// and the send that follows reports it.
AsyncSocket::WaitResult AsyncSocket::WaitFor(short events, int timeoutMs) {
    const bool limited = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    inBlockingCall_ = true;
    cancelRequested_ = false;
    WaitResult result = WaitResult::kFailed;
    for (;;) {
        if (descriptor_ < 0 || cancelRequested_) {
            result = WaitResult::kCancelled;
            break;
        }
        int slice = kBlockingWakeMs;
        if (limited) {
            const int left = MillisecondsUntil(deadline);
            if (left == 0) {
                result = WaitResult::kTimedOut;
                break;
            }
            slice = std::min(slice, left);
        }
        const SOCKET socket = Sock(descriptor_);
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(socket, &writable);
        if (events == kWaitConnect) {
            FD_SET(socket, &failed);
        }
        timeval wait{slice / 1000, (slice % 1000) * 1000};
        const int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready < 0) {
            lastError_ = LastSocketError();
            break;
        }
        if (ready == 0) {
            if (!limited || MillisecondsUntil(deadline) > 0) {
                OnMessagePending();
            }
            continue;
        }
        // A failed connect: the caller reads the reason from SO_ERROR.
        result = WaitResult::kReady;
        break;
    }
    inBlockingCall_ = false;
    if (result == WaitResult::kCancelled) {
        lastError_ = EINTR;
    }
    return result;
}

}  // namespace platform
