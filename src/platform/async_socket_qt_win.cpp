#include "platform/async_socket_qt.h"

// Winsock implementation of the POSIX socket in async_socket_qt.cpp, line for line where the
// systems agree; see that file for the rules both keep.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include <QSocketNotifier>

#include <system_error>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket_layer.h"
#include "platform/winsock_errno_win.h"

namespace platform {

namespace {

// The notifier whose activation is being handled: a handler that closes or deletes its socket
// must not destroy it under Qt's feet, so it is handed to deleteLater instead.
thread_local QSocketNotifier* dispatchingNotifier = nullptr;

// What WaitFor waits for.
constexpr short kWaitConnect = 1;
constexpr short kWaitSend = 2;

// The socket handle kept as the header's int: Winsock hands out kernel handle values, which the
// system keeps within 32 bits.
SOCKET Sock(int descriptor) {
    return static_cast<SOCKET>(descriptor);
}

// The system's own words for a Winsock error.
std::string TextOf(int wsaError) {
    std::string text = std::system_category().message(wsaError);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

bool SetNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Fills `address` (host order) from a dotted address or a name; otherwise the resolver's reason.
bool Resolve(const std::string& text, std::uint32_t& address, std::string& reason) {
    if (text.empty()) {
        reason = "no address";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (status != 0 || found == nullptr) {
        reason = std::string("cannot resolve the name: ") +
                 (status != 0 ? gai_strerrorA(status) : "no IPv4 address");
        return false;
    }
    address = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return true;
}

std::string DottedAddress(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// "21 s" for whole seconds, else "1500 ms".
std::string Duration(int milliseconds) {
    return milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                    : std::to_string(milliseconds) + " ms";
}

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace

bool IsUnicastHostAddress(std::uint32_t address) {
    const std::uint32_t first = address >> 24;
    return first != 0 && first < 224;
}

bool ResolveHostAddress(const std::string& text, std::uint32_t& address) {
    std::string reason;
    return Resolve(text, address, reason);
}

AsyncSocket::AsyncSocket() = default;

AsyncSocket::~AsyncSocket() {
    if (descriptor_ >= 0) {
        Release();
    }
}

bool AsyncSocket::Create(unsigned localPort, int socketType, long eventMask,
                         const char* localAddress) {
    if (descriptor_ >= 0 || socketType != kSockStream || localPort > 65535) {
        Fail(EINVAL);
        return false;
    }
    if (!SocketLayerStartup()) {
        Fail(EIO, "Windows Sockets could not be started");
        return false;
    }
    // Not inheritable, as close-on-exec on POSIX.
    const SOCKET made = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == INVALID_SOCKET || !SetNonBlocking(made)) {
        FailSocket(WSAGetLastError());
        if (made != INVALID_SOCKET) {
            closesocket(made);
        }
        return false;
    }
    Fail(0);
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
        bound =
            bind(Sock(descriptor_), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
        FailSocket(bound ? 0 : WSAGetLastError());
    } else {
        Fail(EINVAL, std::string("not a dotted IPv4 address: ") + localAddress);
    }
    if (!bound) {
        Close();
        return false;
    }
    return true;
}

bool AsyncSocket::Listen(int backlog) {
    if (descriptor_ < 0 || connected_ || listen(Sock(descriptor_), backlog) != 0) {
        if (descriptor_ < 0) {
            Fail(EBADF);
        } else {
            FailSocket(WSAGetLastError());
        }
        return false;
    }
    listening_ = true;
    WatchEvents();
    return true;
}

bool AsyncSocket::Accept(AsyncSocket& connected) {
    if (!listening_ || connected.descriptor_ >= 0) {
        Fail(EINVAL);
        return false;
    }
    const SOCKET taken = accept(Sock(descriptor_), nullptr, nullptr);
    FailSocket(taken == INVALID_SOCKET ? WSAGetLastError() : 0);
    ResumeEvents();
    if (taken == INVALID_SOCKET) {
        return false;
    }
    // An accepted socket takes over the listener's event selection; its own notifier replaces
    // it once it is made non-blocking and kept from child processes.
    SetHandleInformation(reinterpret_cast<HANDLE>(taken), HANDLE_FLAG_INHERIT, 0);
    if (!SetNonBlocking(taken)) {
        FailSocket(WSAGetLastError());
        closesocket(taken);
        return false;
    }
    connected.Attach(static_cast<int>(taken), eventMask_);
    connected.connected_ = true;
    connected.WatchEvents();
    return true;
}

bool AsyncSocket::Connect(const std::string& address, int port) {
    if (descriptor_ < 0 || listening_ || connected_) {
        Fail(descriptor_ < 0 ? EBADF : EISCONN);
        return false;
    }
    if (port < 0 || port > 65535) {
        Fail(EINVAL, "port " + std::to_string(port) + " is out of range");
        return false;
    }
    std::uint32_t host = 0;
    std::string reason;
    if (!Resolve(address, host, reason)) {
        Fail(EINVAL, reason);
        return false;
    }
    // Refused before any packet: 0.0.0.0 (what a blank address field reads as) would reach
    // this machine, and a broadcast or multicast address no single device.
    if (!IsUnicastHostAddress(host)) {
        Fail(EADDRNOTAVAIL, "address " + DottedAddress(host) + " is not a unicast host address");
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(host);
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    Fail(0);
    if (connect(Sock(descriptor_), reinterpret_cast<const sockaddr*>(&target), sizeof target) !=
        0) {
        const int started = WSAGetLastError();
        if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS && started != WSAEINTR) {
            FailSocket(started);
            return false;
        }
        const WaitResult waited = WaitFor(kWaitConnect, connectTimeoutMs_);
        if (waited == WaitResult::kTimedOut) {
            Fail(ETIMEDOUT, "timed out after " + Duration(connectTimeoutMs_));
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
            FailSocket(error != 0 ? error : WSAGetLastError());
            return false;
        }
    }
    connected_ = true;
    WatchEvents();
    return true;
}

int AsyncSocket::Send(const void* data, int length) {
    if (descriptor_ < 0 || length < 0 || (data == nullptr && length > 0)) {
        Fail(descriptor_ < 0 ? EBADF : EINVAL);
        return kSocketError;
    }
    Fail(0);
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
                    Fail(ECONNRESET);
                    break;
                case WaitResult::kTimedOut:
                    Fail(ETIMEDOUT, "the device took no byte for " + Duration(kSendStallTimeoutMs));
                    break;
                case WaitResult::kFailed:
                    break;  // WaitFor kept the system's error
                default:
                    Fail(EINTR);
                    break;
            }
            return kSocketError;
        }
        if (count < 0) {
            FailSocket(error);
        } else {
            Fail(EIO);
        }
        return kSocketError;
    }
    return length;
}

int AsyncSocket::Receive(void* buffer, int length) {
    if (descriptor_ < 0 || listening_ || length < 0 || (buffer == nullptr && length > 0)) {
        Fail(EINVAL);
        return kSocketError;
    }
    const int count = recv(Sock(descriptor_), static_cast<char*>(buffer), length, 0);
    FailSocket(count < 0 ? WSAGetLastError() : 0);
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

std::string AsyncSocket::LastErrorText() const {
    if (!lastErrorText_.empty() || lastError_ == 0) {
        return lastErrorText_;
    }
    return SocketErrnoText(lastError_);
}

void AsyncSocket::Fail(int error, std::string text) {
    lastError_ = error;
    lastErrorText_ = std::move(text);
}

void AsyncSocket::FailSocket(int wsaError) {
    Fail(ErrnoOf(wsaError), wsaError != 0 ? TextOf(wsaError) : std::string());
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

// Only connected and listening sockets are watched: Linux reports an unconnected TCP socket as
// hung up, which would raise events for nothing.
void AsyncSocket::WatchEvents() {
    // Qt's notifier on Windows selects the socket's read, accept and close events
    // (WSAAsyncSelect); like the original platform, a read event comes again only after a recv.
    notifier_ =
        std::make_unique<QSocketNotifier>(static_cast<qintptr>(descriptor_), QSocketNotifier::Read);
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

AsyncSocket::WaitResult AsyncSocket::WaitFor(short events, int timeoutMs) {
    const bool limited = timeoutMs >= 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    auto nextPending = Clock::now() + std::chrono::milliseconds(kBlockingWakeMs);
    inBlockingCall_ = true;
    cancelRequested_ = false;
    WaitResult result = WaitResult::kFailed;
    for (;;) {
        if (descriptor_ < 0 || cancelRequested_) {
            result = WaitResult::kCancelled;
            break;
        }
        int slice = MillisecondsUntil(nextPending);
        if (limited) {
            const int left = MillisecondsUntil(deadline);
            if (left == 0) {
                result = WaitResult::kTimedOut;
                break;
            }
            slice = std::min(slice, left);
        }
        if (waitHook_) {
            slice = std::min(slice, kWaitHookPeriodMs);
        }
        // select, not WSAPoll: WSAPoll misses a refused connect on some Windows versions. A
        // failed connect shows in the exception set; a reset while waiting to send shows as
        // writable, and the send that follows reports it.
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
            FailSocket(WSAGetLastError());
            break;
        }
        if (ready == 0) {
            if (waitHook_) {
                waitHook_();
            }
            if (MillisecondsUntil(nextPending) == 0) {
                nextPending = Clock::now() + std::chrono::milliseconds(kBlockingWakeMs);
                if (!limited || MillisecondsUntil(deadline) > 0) {
                    OnMessagePending();
                }
            }
            continue;
        }
        // Writable, or a failed connect whose reason the caller reads from SO_ERROR.
        result = WaitResult::kReady;
        break;
    }
    inBlockingCall_ = false;
    if (result == WaitResult::kCancelled) {
        Fail(EINTR, "cancelled");
    }
    return result;
}

}  // namespace platform
