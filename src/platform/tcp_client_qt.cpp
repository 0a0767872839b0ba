#include "platform/tcp_client_qt.h"

#include "platform/async_socket_qt.h"

#include <cerrno>
#include <mutex>
#include <thread>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/socket_calls.h"

namespace platform {

namespace {

// A queue this much consumed is moved down, so that it never grows beyond what is unsent.
constexpr std::size_t kCompactAfterBytes = 4096;

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
    // Only Windows has a socket layer to start.
    if (!SocketLayerStartup()) {
        lastError_ = EIO;
        return false;
    }
    SocketError error;
    descriptor_ = SocketOpen(error);
    lastError_ = error.number;
    // Every Send is one frame of the device's protocol; a device may take each read as one
    // frame, so a frame must not wait to be merged with the next.
    if (descriptor_ >= 0) {
        SocketSetNoDelay(descriptor_);
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
    std::uint32_t dotted = 0;
    if (ParseDottedAddress(address.c_str(), dotted)) {
        QTimer::singleShot(0, context_.get(),
                           [this, alive = std::weak_ptr<bool>(alive_), dotted, port] {
                               if (!alive.expired()) {
                                   StartConnect(dotted, port);
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
        lastErrorText_ = "address " + DottedAddressText(address) + " is not a unicast host address";
        FinishConnect(EADDRNOTAVAIL);
        return;
    }
    if (port <= 0 || port > 65535) {
        FinishConnect(EINVAL);
        return;
    }
    SocketError error;
    const int started = SocketConnect(descriptor_, address, port, error);
    if (started == 0) {
        FinishConnect(0);
        return;
    }
    if (started != kSocketWouldBlock) {
        FinishConnect(error.number);
        return;
    }
    writeNotifier_ = std::make_unique<QSocketNotifier>(static_cast<qintptr>(descriptor_),
                                                       QSocketNotifier::Write);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, writeNotifier_.get(),
                     [this] { OnWritable(); });
    connectTimer_ = std::make_unique<QTimer>();
    connectTimer_->setSingleShot(true);
    QObject::connect(connectTimer_.get(), &QTimer::timeout, connectTimer_.get(), [this] {
        lastErrorText_ = "timed out after " + DurationText(timeoutMs_);
        FinishConnect(ETIMEDOUT);
    });
    connectTimer_->start(timeoutMs_);
    // Wine does not always post the connect event of a connection refused at once: where the
    // call layer says so (Windows), look for the outcome every SocketConnectPollMs as well, until
    // the connect has ended one way or the other.
    const int pollMs = SocketConnectPollMs();
    if (pollMs <= 0) {
        return;
    }
    auto* poll = new QTimer(context_.get());
    QObject::connect(
        poll, &QTimer::timeout, poll, [this, poll, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.expired() || !connectTimer_ || connected_ || descriptor_ < 0) {
                poll->deleteLater();
                poll->stop();
                return;
            }
            SocketError ignored;
            if (SocketWaitWritable(descriptor_, SocketWaitFor::kConnectEnd, 0, ignored) ==
                SocketWaitResult::kReady) {
                poll->stop();
                poll->deleteLater();
                OnWritable();  // may destroy this object
            }
        });
    poll->start(pollMs);
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
        SocketError error;
        const int count =
            SocketSend(descriptor_, queue_.data() + queueStart_, QueuedBytes(), error);
        if (count > 0) {
            queueStart_ += static_cast<std::size_t>(count);
            continue;
        }
        if (count == kSocketWouldBlock) {
            if (!writeNotifier_) {
                writeNotifier_ = std::make_unique<QSocketNotifier>(
                    static_cast<qintptr>(descriptor_), QSocketNotifier::Write);
                QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated,
                                 writeNotifier_.get(), [this] { OnWritable(); });
            }
            writeNotifier_->setEnabled(true);
            break;
        }
        Fail(count < 0 ? error.number : EIO);
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
        FinishConnect(SocketPendingError(descriptor_).number);
        return;
    }
    Flush();
}

int TcpClient::Receive(void* buffer, int length) {
    if (descriptor_ < 0 || length < 0 || (buffer == nullptr && length > 0)) {
        lastError_ = EINVAL;
        return -1;
    }
    SocketError error;
    const int count = SocketReceive(descriptor_, buffer, length, error);
    lastError_ = error.number;
    if (readNotifier_ && !closeReported_) {
        readNotifier_->setEnabled(true);
    }
    return count < 0 ? -1 : count;
}

void TcpClient::OnReadable() {
    readNotifier_->setEnabled(false);
    SocketError error;
    const int count = SocketPeek(descriptor_, error);
    if (count > 0) {
        if (onReceive_) {
            onReceive_();  // may destroy this object
        }
        return;
    }
    if (count == kSocketWouldBlock) {
        readNotifier_->setEnabled(true);  // woken for nothing
        return;
    }
    closeReported_ = true;
    if (onClose_) {
        onClose_(count == 0 ? 0 : error.number);  // may destroy this object
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
        SocketClose(descriptor_);
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
