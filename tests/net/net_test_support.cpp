#include "net/net_test_support.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#ifdef _WIN32
#include <QLocalServer>
#include <QLocalSocket>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "support/loopback_socket.h"

namespace net_testing {

namespace {

int RemainingMs(const QElapsedTimer& timer, int timeoutMs) {
    const auto left = timeoutMs - timer.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeoutMs) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

void Pump(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        previous_ = old;
    }
    if (value == nullptr) {
        qunsetenv(name);
    } else {
        qputenv(name, value);
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        qputenv(name_.c_str(), QByteArray::fromStdString(*previous_));
    } else {
        qunsetenv(name_.c_str());
    }
}

bool WaitReadable(int descriptor, int timeoutMs) {
    return testing_support::PollSocket(descriptor, false, timeoutMs) == 1;
}

std::string ReadBytes(int descriptor, std::size_t length, int timeoutMs) {
    std::string bytes;
    QElapsedTimer timer;
    timer.start();
    char chunk[65536];
    while (bytes.size() < length) {
        if (!WaitReadable(descriptor, RemainingMs(timer, timeoutMs))) {
            break;
        }
        const long count = testing_support::RecvNow(descriptor, chunk,
                                                    std::min(sizeof chunk, length - bytes.size()));
        if (count == testing_support::kRecvWouldBlock) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
    return bytes;
}

std::string ReadAvailable(int descriptor) {
    std::string bytes;
    char chunk[65536];
    for (;;) {
        const long count = testing_support::RecvNow(descriptor, chunk, sizeof chunk);
        if (count <= 0) {
            return bytes;
        }
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
}

bool SeesEnd(int descriptor, int timeoutMs) {
    if (!WaitReadable(descriptor, timeoutMs)) {
        return false;
    }
    char byte = 0;
    const long count = testing_support::RecvNow(descriptor, &byte, 1);
    return count == 0 ||
           (count == testing_support::kRecvError && testing_support::LastErrorIsReset());
}

#ifdef _WIN32

constexpr int kPipeReadRounds = 50;
constexpr int kPipeReadSliceMs = 50;

// Named pipes leave no file behind: a name nobody listens on is all there is.
bool MakeStaleSocketFile(const std::string&) {
    return true;
}

PipeCapture::PipeCapture(const std::string& path, int backlog)
    : path_(path), server_(std::make_unique<QLocalServer>()) {
    server_->setMaxPendingConnections(backlog);
    server_->listen(QString::fromStdString(path));
}

PipeCapture::~PipeCapture() {
    CloseClient();
}

bool PipeCapture::Listening() const {
    return server_->isListening();
}

bool PipeCapture::Accept(int timeoutMs) {
    if (!server_->isListening() ||
        (!server_->hasPendingConnections() && !server_->waitForNewConnection(timeoutMs))) {
        return false;
    }
    CloseClient();
    pipeClient_ = server_->nextPendingConnection();
    return pipeClient_ != nullptr;
}

bool PipeCapture::ClientReadable(int timeoutMs) {
    if (pipeClient_ == nullptr) {
        return false;
    }
    return pipeClient_->bytesAvailable() > 0 || pipeClient_->waitForReadyRead(timeoutMs);
}

std::string PipeCapture::ReadClient() {
    if (pipeClient_ == nullptr) {
        return {};
    }
    // The pipe is read in the background: lines already written are only seen after a short
    // wait for that read; a few rounds, each bounded, until nothing more comes.
    std::string bytes = pipeClient_->readAll().toStdString();
    for (int round = 0; round < kPipeReadRounds && pipeClient_->waitForReadyRead(kPipeReadSliceMs);
         ++round) {
        bytes += pipeClient_->readAll().toStdString();
    }
    return bytes;
}

bool PipeCapture::ClientSeesEnd(int timeoutMs) {
    if (pipeClient_ == nullptr) {
        return false;
    }
    if (pipeClient_->state() != QLocalSocket::ConnectedState) {
        return pipeClient_->bytesAvailable() == 0;
    }
    return pipeClient_->waitForDisconnected(timeoutMs) && pipeClient_->bytesAvailable() == 0;
}

void PipeCapture::CloseClient() {
    if (pipeClient_ != nullptr) {
        pipeClient_->abort();
        delete pipeClient_;
        pipeClient_ = nullptr;
    }
}

#else

bool MakeStaleSocketFile(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int descriptor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bound =
        bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(descriptor);
    return bound;
}

PipeCapture::PipeCapture(const std::string& path, int backlog) : path_(path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, backlog) != 0) {
        if (listener_ >= 0) {
            close(listener_);
        }
        listener_ = -1;
    }
}

PipeCapture::~PipeCapture() {
    CloseClient();
    if (listener_ >= 0) {
        close(listener_);
        unlink(path_.c_str());
    }
}

bool PipeCapture::Listening() const {
    return listener_ >= 0;
}

bool PipeCapture::Accept(int timeoutMs) {
    if (listener_ < 0 || !WaitReadable(listener_, timeoutMs)) {
        return false;
    }
    CloseClient();
    client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
}

bool PipeCapture::ClientReadable(int timeoutMs) {
    return client_ >= 0 && WaitReadable(client_, timeoutMs);
}

std::string PipeCapture::ReadClient() {
    return client_ < 0 ? std::string() : ReadAvailable(client_);
}

bool PipeCapture::ClientSeesEnd(int timeoutMs) {
    return client_ >= 0 && SeesEnd(client_, timeoutMs);
}

void PipeCapture::CloseClient() {
    if (client_ >= 0) {
        close(client_);
        client_ = -1;
    }
}

#endif

bool PipeCapture::WaitFor(const std::string& text, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (captured_.find(text) == std::string::npos) {
        if (!ClientReadable(RemainingMs(timer, timeoutMs))) {
            return false;
        }
        const std::string more = ReadClient();
        if (more.empty()) {
            return captured_.find(text) != std::string::npos;  // the client left
        }
        captured_ += more;
    }
    return true;
}

std::string PipeCapture::Take() {
    captured_ += ReadClient();
    std::string taken;
    taken.swap(captured_);
    return taken;
}

std::string PipeCapture::ReadClientBytes(std::size_t length, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    std::string bytes;
    while (bytes.size() < length && ClientReadable(RemainingMs(timer, timeoutMs))) {
        const std::string more = ReadClient();
        if (more.empty()) {
            break;
        }
        bytes += more;
    }
    return bytes;
}

LoopbackPeer::LoopbackPeer(int backlog, int receiveBuffer) {
    listener_ = testing_support::ListenLoopback(backlog, receiveBuffer, "127.0.0.1", &port_);
}

LoopbackPeer::~LoopbackPeer() {
    CloseConnection();
    testing_support::CloseSocket(listener_);
}

bool LoopbackPeer::Accept(int timeoutMs) {
    if (listener_ < 0 || !WaitReadable(listener_, timeoutMs)) {
        return false;
    }
    CloseConnection();
    connection_ = testing_support::AcceptSocket(listener_);
    return connection_ >= 0;
}

bool LoopbackPeer::Send(const std::string& bytes) {
    return connection_ >= 0 && testing_support::SendAllBytes(connection_, bytes);
}

std::string LoopbackPeer::Read(std::size_t length, int timeoutMs) {
    return connection_ < 0 ? std::string() : ReadBytes(connection_, length, timeoutMs);
}

void LoopbackPeer::CloseConnection(bool reset) {
    if (connection_ < 0) {
        return;
    }
    if (reset) {
        ResetAndClose(connection_);
    } else {
        testing_support::CloseSocket(connection_);
    }
    connection_ = -1;
}

int ConnectLoopback(int port, int timeoutMs) {
    return testing_support::ConnectWithin(port, timeoutMs);
}

int UnusedLoopbackPort() {
    int port = 0;
    testing_support::CloseSocket(testing_support::ListenLoopback(1, 0, "127.0.0.1", &port));
    return port;
}

void ResetAndClose(int descriptor) {
    testing_support::ResetSocket(descriptor);
}

void CloseSocket(int descriptor) {
    testing_support::CloseSocket(descriptor);
}

RecordingWindow::RecordingWindow() {
    window_.SetMessageHandler(
        [this](unsigned message, platform::WParam wParam, platform::LParam lParam) {
            if (hook_) {
                hook_(message);
            }
            messages_.push_back({message, wParam, lParam});
        });
    window_.SetTimerHandler([this](unsigned timerId) { ticks_.push_back(timerId); });
}

}  // namespace net_testing
