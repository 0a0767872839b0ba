#include "platform/tcp_client_qt.h"

// Winsock implementation of the POSIX client in tcp_client_qt.cpp, line for line where the
// systems agree; the socket handle is kept as the header's int (Winsock handles are kernel
// handles, which the system keeps within 32 bits).

#include "platform/async_socket_qt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/socket_layer.h"
#include "platform/winsock_errno_win.h"

namespace platform {

namespace {
constexpr int kConnectPollMs = 50;
}  // namespace

namespace {

// A queue this much consumed is moved down, so that it never grows beyond what is unsent.
constexpr std::size_t kCompactAfterBytes = 4096;

std::string Dotted(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// "21 s" for whole seconds, else "1500 ms".
std::string Duration(int milliseconds) {
    return milliseconds % 1000 == 0 ? std::to_string(milliseconds / 1000) + " s"
                                    : std::to_string(milliseconds) + " ms";
}

// Handlers of an object that is being torn down may still be on the call stack: it goes once
// the event loop is back, and nothing reaches it meanwhile.
template <typename T>
void DisposeLater(std::unique_ptr<T>& object) {
    if (!object) {
        return;
    }
    QObject::disconnect(object.get(), nullptr, nullptr, nullptr);
    if constexpr (std::is_same_v<T, QSocketNotifier>) {
        object->setEnabled(false);
    } else {
        object->stop();
    }
    object.release()->deleteLater();
}

}  // namespace

// Shared with the thread that resolves a name: it hands the result over only while the client
// still wants it.
struct TcpClient::Resolution {
    std::mutex mutex;
    QObject* target = nullptr;
};

TcpClient::TcpClient()
    : alive_(std::make_shared<bool>(true)), context_(std::make_unique<QObject>()) {}

TcpClient::~TcpClient() {
    Close();
    alive_.reset();
    context_.release()->deleteLater();
}

bool TcpClient::Open() {
    if (descriptor_ >= 0) {
        lastError_ = EISCONN;
        return false;
    }
    descriptor_ = -1;
    if (!SocketLayerStartup()) {
        lastError_ = EIO;
        return false;
    }
    const SOCKET made = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    u_long on = 1;
    if (made != INVALID_SOCKET && ioctlsocket(made, FIONBIO, &on) != 0) {
        lastError_ = ErrnoOf(WSAGetLastError());
        closesocket(made);
        return false;
    }
    lastError_ = made == INVALID_SOCKET ? ErrnoOf(WSAGetLastError()) : 0;
    if (made != INVALID_SOCKET) {
        descriptor_ = static_cast<int>(made);
    }
    connected_ = false;
    closeReported_ = false;
    queue_.clear();
    queueStart_ = 0;
    return descriptor_ >= 0;
}

void TcpClient::ConnectAsync(const std::string& address, int port, int timeoutMs,
                             ConnectHandler done) {
    onConnect_ = std::move(done);
    timeoutMs_ = timeoutMs;
    in_addr numeric{};
    if (inet_pton(AF_INET, address.c_str(), &numeric) == 1) {
        const std::uint32_t host = ntohl(numeric.s_addr);
        QTimer::singleShot(0, context_.get(),
                           [this, alive = std::weak_ptr<bool>(alive_), host, port] {
                               if (!alive.expired()) {
                                   StartConnect(host, port);
                               }
                           });
        return;
    }
    // A name may take the resolver seconds: resolve it beside the event loop.
    resolution_ = std::make_shared<Resolution>();
    resolution_->target = context_.get();
    std::thread([resolution = resolution_, alive = std::weak_ptr<bool>(alive_), address, port,
                 this] {
        std::uint32_t host = 0;
        if (!ResolveHostAddress(address, host)) {
            host = 0;
        }
        const std::lock_guard<std::mutex> lock(resolution->mutex);
        if (resolution->target != nullptr) {
            QMetaObject::invokeMethod(
                resolution->target,
                [this, alive, address, host, port] {
                    if (alive.expired()) {
                        return;
                    }
                    resolution_.reset();
                    if (host == 0) {
                        lastErrorText_ =
                            address.empty() ? "no address" : address + ": name does not resolve";
                        FinishConnect(EHOSTUNREACH);
                    } else {
                        StartConnect(host, port);
                    }
                },
                Qt::QueuedConnection);
        }
    }).detach();
}

void TcpClient::StartConnect(std::uint32_t address, int port) {
    if (descriptor_ < 0) {
        FinishConnect(lastError_ != 0 ? lastError_ : EBADF);  // Open's reason (EMFILE)
        return;
    }
    // Refused before any packet: 0.0.0.0 would reach this machine, a broadcast or multicast
    // address no single device.
    if (!IsUnicastHostAddress(address)) {
        lastErrorText_ = "address " + Dotted(address) + " is not a unicast host address";
        FinishConnect(EADDRNOTAVAIL);
        return;
    }
    if (port <= 0 || port > 65535) {
        FinishConnect(EINVAL);
        return;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(address);
    target.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(static_cast<SOCKET>(descriptor_), reinterpret_cast<const sockaddr*>(&target),
                sizeof target) == 0) {
        FinishConnect(0);
        return;
    }
    const int started = WSAGetLastError();
    if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS && started != WSAEINTR) {
        FinishConnect(ErrnoOf(started));
        return;
    }
    writeNotifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(descriptor_),
                                                       QSocketNotifier::Write);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, writeNotifier_.get(),
                     [this] { OnWritable(); });
    connectTimer_ = std::make_unique<QTimer>();
    connectTimer_->setSingleShot(true);
    QObject::connect(connectTimer_.get(), &QTimer::timeout, connectTimer_.get(), [this] {
        lastErrorText_ = "timed out after " + Duration(timeoutMs_);
        FinishConnect(ETIMEDOUT);
    });
    connectTimer_->start(timeoutMs_);
    // Wine does not always post the connect event of a connection refused at once: look for the
    // outcome every kConnectPollMs as well, until the connect has ended one way or the other.
    auto* poll = new QTimer(context_.get());
    QObject::connect(poll, &QTimer::timeout, poll,
                     [this, poll, alive = std::weak_ptr<bool>(alive_)] {
                         if (alive.expired() || !connectTimer_ || connected_ || descriptor_ < 0) {
                             poll->deleteLater();
                             poll->stop();
                             return;
                         }
                         const SOCKET socket = static_cast<SOCKET>(descriptor_);
                         fd_set writable;
                         fd_set failed;
                         FD_ZERO(&writable);
                         FD_ZERO(&failed);
                         FD_SET(socket, &writable);
                         FD_SET(socket, &failed);
                         timeval now{0, 0};
                         if (select(0, nullptr, &writable, &failed, &now) > 0) {
                             poll->stop();
                             poll->deleteLater();
                             OnWritable();  // may destroy this object
                         }
                     });
    poll->start(kConnectPollMs);
}

void TcpClient::FinishConnect(int error) {
    DisposeLater(connectTimer_);
    DisposeLater(writeNotifier_);
    lastError_ = error;
    if (error == 0) {
        lastErrorText_.clear();
    }
    if (error == 0) {
        connected_ = true;
        readNotifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(descriptor_),
                                                          QSocketNotifier::Read);
        QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, readNotifier_.get(),
                         [this] { OnReadable(); });
    }
    if (onConnect_) {
        const ConnectHandler done = std::move(onConnect_);
        onConnect_ = nullptr;
        done(error);  // may destroy this object
    }
}

bool TcpClient::Send(const std::uint8_t* data, int length) {
    if (descriptor_ < 0 || !connected_ || length < 0 || (data == nullptr && length > 0)) {
        lastError_ = lastError_ != 0 ? lastError_ : ENOTCONN;
        return false;
    }
    queue_.insert(queue_.end(), data, data + length);
    return Flush();
}

// Writes what the system takes now; the rest waits for room. False once the connection failed.
bool TcpClient::Flush() {
    while (QueuedBytes() > 0) {
        const int count = send(static_cast<SOCKET>(descriptor_),
                               reinterpret_cast<const char*>(queue_.data() + queueStart_),
                               static_cast<int>(std::min<std::size_t>(QueuedBytes(), 1u << 30)), 0);
        const int sendError = count < 0 ? WSAGetLastError() : 0;
        if (count > 0) {
            queueStart_ += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && sendError == WSAEINTR) {
            continue;
        }
        if (count < 0 && sendError == WSAEWOULDBLOCK) {
            if (!writeNotifier_) {
                writeNotifier_ = std::make_unique<QSocketNotifier>(
                    static_cast<qintptr>(descriptor_), QSocketNotifier::Write);
                QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated,
                                 writeNotifier_.get(), [this] { OnWritable(); });
            }
            writeNotifier_->setEnabled(true);
            break;
        }
        Fail(count < 0 ? ErrnoOf(sendError) : EIO);
        return false;
    }
    if (QueuedBytes() == 0) {
        queue_.clear();
        queueStart_ = 0;
        if (writeNotifier_) {
            writeNotifier_->setEnabled(false);
        }
    } else if (queueStart_ >= kCompactAfterBytes) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueStart_));
        queueStart_ = 0;
    }
    return true;
}

// The connection failed under queued bytes: they can never arrive.
void TcpClient::Fail(int error) {
    lastError_ = error;
    lastErrorText_.clear();
    connected_ = false;
    queue_.clear();
    queueStart_ = 0;
    if (writeNotifier_) {
        writeNotifier_->setEnabled(false);
    }
}

void TcpClient::OnWritable() {
    if (!connected_) {
        int error = 0;
        int size = sizeof error;
        if (getsockopt(static_cast<SOCKET>(descriptor_), SOL_SOCKET, SO_ERROR,
                       reinterpret_cast<char*>(&error), &size) != 0) {
            error = WSAGetLastError();
        }
        FinishConnect(ErrnoOf(error));
        return;
    }
    Flush();
}

int TcpClient::Receive(void* buffer, int length) {
    if (descriptor_ < 0 || length < 0 || (buffer == nullptr && length > 0)) {
        lastError_ = EINVAL;
        return -1;
    }
    const int count = recv(static_cast<SOCKET>(descriptor_), static_cast<char*>(buffer), length, 0);
    lastError_ = count < 0 ? ErrnoOf(WSAGetLastError()) : 0;
    if (readNotifier_ && !closeReported_) {
        readNotifier_->setEnabled(true);
    }
    return count < 0 ? -1 : count;
}

void TcpClient::OnReadable() {
    readNotifier_->setEnabled(false);
    char probe = 0;
    const int count = recv(static_cast<SOCKET>(descriptor_), &probe, 1, MSG_PEEK);
    const int peekError = count < 0 ? WSAGetLastError() : 0;
    if (count > 0) {
        if (onReceive_) {
            onReceive_();  // may destroy this object
        }
        return;
    }
    if (count < 0 && (peekError == WSAEWOULDBLOCK || peekError == WSAEINTR)) {
        readNotifier_->setEnabled(true);  // woken for nothing
        return;
    }
    const int error = count == 0 ? 0 : ErrnoOf(peekError);
    closeReported_ = true;
    if (onClose_) {
        onClose_(error);  // may destroy this object
    }
}

void TcpClient::Close() {
    if (resolution_) {
        const std::lock_guard<std::mutex> lock(resolution_->mutex);
        resolution_->target = nullptr;
    }
    resolution_.reset();
    onConnect_ = nullptr;
    DisposeLater(connectTimer_);
    DisposeLater(writeNotifier_);
    DisposeLater(readNotifier_);
    if (descriptor_ >= 0) {
        closesocket(static_cast<SOCKET>(descriptor_));
        descriptor_ = -1;
    }
    connected_ = false;
    queue_.clear();
    queueStart_ = 0;
}

std::string TcpClient::LastErrorText() const {
    if (!lastErrorText_.empty() || lastError_ == 0) {
        return lastErrorText_;
    }
    return SocketErrnoText(lastError_);
}

}  // namespace platform
