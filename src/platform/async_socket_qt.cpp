#include "platform/async_socket_qt.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>

#include <QSocketNotifier>

#include "platform/socket_calls.h"

namespace platform {

namespace {

// The notifier whose activation is being handled: a handler that closes or deletes its socket
// must not destroy it under Qt's feet, so it is handed to deleteLater instead.
thread_local QSocketNotifier* dispatchingNotifier = nullptr;

// Fills `address` (host order) from a dotted address or a name; otherwise the resolver's reason.
bool Resolve(const std::string& text, std::uint32_t& address, std::string& reason) {
    if (text.empty()) {
        reason = "no address";
        return false;
    }
    if (!LookUpHostAddress(text, address, reason)) {
        reason = "cannot resolve the name: " + reason;
        return false;
    }
    return true;
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

std::string ResolvedAddressText(const std::string& text) {
    std::uint32_t address = 0;
    if (ResolveHostAddress(text, address)) {
        return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xff) + "." +
               std::to_string((address >> 8) & 0xff) + "." + std::to_string(address & 0xff);
    }
    std::string name = text;
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
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
    // Only Windows has a socket layer to start.
    if (!SocketLayerStartup()) {
        Fail(EIO, "Windows Sockets could not be started");
        return false;
    }
    SocketError error;
    const int descriptor = SocketOpen(error);
    if (descriptor < 0) {
        Fail(error);
        return false;
    }
    Fail(0);
    Attach(descriptor, eventMask);
    // Binding to any address and any port is what connect does by itself.
    if (localPort == 0 && localAddress == nullptr) {
        return true;
    }
    std::uint32_t local = 0;  // any address
    bool bound = localAddress == nullptr || ParseDottedAddress(localAddress, local);
    if (bound) {
        bound = SocketBind(descriptor_, local, static_cast<int>(localPort), error);
        Fail(error);
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
    if (descriptor_ < 0 || connected_) {
        Fail(descriptor_ < 0 ? EBADF : EINVAL);  // EINVAL: what Linux says of a connected socket
        return false;
    }
    SocketError error;
    if (!SocketListen(descriptor_, backlog, error)) {
        Fail(error);
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
    SocketError error;
    const int descriptor = SocketAccept(descriptor_, error);
    Fail(error);
    ResumeEvents();
    if (descriptor < 0) {
        return false;
    }
    connected.Attach(descriptor, eventMask_);
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
        Fail(EADDRNOTAVAIL,
             "address " + DottedAddressText(host) + " is not a unicast host address");
        return false;
    }
    Fail(0);
    SocketError error;
    const int started = SocketConnect(descriptor_, host, port, error);
    if (started != 0) {
        if (started != kSocketWouldBlock) {
            Fail(error);
            return false;
        }
        const WaitResult waited = WaitFor(SocketWaitFor::kConnectEnd, connectTimeoutMs_);
        if (waited == WaitResult::kTimedOut) {
            Fail(ETIMEDOUT, "timed out after " + DurationText(connectTimeoutMs_));
            return false;
        }
        if (waited == WaitResult::kCancelled || waited == WaitResult::kFailed) {
            return false;
        }
        error = SocketPendingError(descriptor_);
        if (error.number != 0) {
            Fail(error);
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
        SocketError error;
        const int count =
            SocketSend(descriptor_, bytes + sent, static_cast<std::size_t>(length - sent), error);
        if (count > 0) {
            sent += count;
            continue;
        }
        if (count == kSocketWouldBlock) {
            // The peer is slow: wait for room, but not for a peer that has stopped reading.
            const WaitResult waited = WaitFor(SocketWaitFor::kRoomToSend, kSendStallTimeoutMs);
            if (waited == WaitResult::kReady) {
                continue;
            }
            switch (waited) {
                case WaitResult::kPeerClosed:
                    Fail(ECONNRESET);
                    break;
                case WaitResult::kTimedOut:
                    Fail(ETIMEDOUT,
                         "the device took no byte for " + DurationText(kSendStallTimeoutMs));
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
            Fail(error);
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
    SocketError error;
    const int count = SocketReceive(descriptor_, buffer, length, error);
    Fail(error);
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

void AsyncSocket::Fail(const SocketError& error) {
    Fail(error.number, error.number != 0 ? SocketSystemText(error) : std::string());
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
    return SocketSetSendBuffer(descriptor_, bytes);
}

int AsyncSocket::LocalPort() const {
    return descriptor_ < 0 ? 0 : SocketLocalPort(descriptor_);
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
    SocketClose(descriptor_);
    descriptor_ = -1;
    listening_ = false;
    connected_ = false;
}

// Only connected and listening sockets are watched: Linux reports an unconnected TCP socket as
// hung up, which would raise events for nothing. Qt's notifier on Windows selects the socket's
// read, accept and close events (WSAAsyncSelect); like the original platform, a read event comes
// again only after a recv.
void AsyncSocket::WatchEvents() {
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
    SocketError error;
    const int count = SocketPeek(descriptor_, error);
    if (count > 0) {
        if ((eventMask_ & kFdRead) != 0) {
            OnReceive(0);
        }
    } else if (count == kSocketWouldBlock) {
        notifier->setEnabled(true);  // woken for nothing
    } else {
        closeReported_ = true;
        if ((eventMask_ & kFdClose) != 0) {
            OnClose(count == 0 ? 0 : error.number);
        }
    }
    dispatchingNotifier = outer;
}

AsyncSocket::WaitResult AsyncSocket::WaitFor(SocketWaitFor what, int timeoutMs) {
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
        SocketError error;
        const SocketWaitResult ready = SocketWaitWritable(descriptor_, what, slice, error);
        if (ready == SocketWaitResult::kFailed) {
            Fail(error);
            break;
        }
        if (ready == SocketWaitResult::kTimedOut) {
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
        // Writable or a connect that has ended (the caller reads how from SO_ERROR); otherwise
        // hung up or reset while we waited for room to send.
        result = ready == SocketWaitResult::kReady ? WaitResult::kReady : WaitResult::kPeerClosed;
        break;
    }
    inBlockingCall_ = false;
    if (result == WaitResult::kCancelled) {
        Fail(EINTR, "cancelled");
    }
    return result;
}

}  // namespace platform
