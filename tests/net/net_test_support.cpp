#include "net/net_test_support.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace net_testing {

namespace {

int RemainingMs(const QElapsedTimer& timer, int timeoutMs) {
    const auto left = timeoutMs - timer.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
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
        unsetenv(name);
    } else {
        setenv(name, value, 1);
    }
}

ScopedEnv::~ScopedEnv() {
    if (previous_) {
        setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

bool WaitReadable(int descriptor, int timeoutMs) {
    pollfd watched{descriptor, POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&watched, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
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
        const ssize_t count =
            recv(descriptor, chunk, std::min(sizeof chunk, length - bytes.size()), MSG_DONTWAIT);
        if (count <= 0) {
            if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
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
        const ssize_t count = recv(descriptor, chunk, sizeof chunk, MSG_DONTWAIT);
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
    const ssize_t count = recv(descriptor, &byte, 1, MSG_DONTWAIT);
    return count == 0 || (count < 0 && errno == ECONNRESET);
}

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

bool PipeCapture::Accept(int timeoutMs) {
    if (listener_ < 0 || !WaitReadable(listener_, timeoutMs)) {
        return false;
    }
    CloseClient();
    client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return client_ >= 0;
}

bool PipeCapture::WaitFor(const std::string& text, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (captured_.find(text) == std::string::npos) {
        if (client_ < 0 || !WaitReadable(client_, RemainingMs(timer, timeoutMs))) {
            return false;
        }
        const std::string more = ReadAvailable(client_);
        if (more.empty()) {
            return captured_.find(text) != std::string::npos;  // the client left
        }
        captured_ += more;
    }
    return true;
}

std::string PipeCapture::Take() {
    if (client_ >= 0) {
        captured_ += ReadAvailable(client_);
    }
    std::string taken;
    taken.swap(captured_);
    return taken;
}

void PipeCapture::CloseClient() {
    if (client_ >= 0) {
        close(client_);
        client_ = -1;
    }
}

LoopbackPeer::LoopbackPeer(int backlog, int receiveBuffer) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address = LoopbackAddress(0);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, backlog) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return;
    }
    port_ = ntohs(address.sin_port);
}

LoopbackPeer::~LoopbackPeer() {
    CloseConnection();
    if (listener_ >= 0) {
        close(listener_);
    }
}

bool LoopbackPeer::Accept(int timeoutMs) {
    if (!WaitReadable(listener_, timeoutMs)) {
        return false;
    }
    CloseConnection();
    connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

bool LoopbackPeer::Send(const std::string& bytes) {
    return connection_ >= 0 && send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                   static_cast<ssize_t>(bytes.size());
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
        close(connection_);
    }
    connection_ = -1;
}

int ConnectLoopback(int port, int timeoutMs) {
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        pollfd watched{descriptor, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || poll(&watched, 1, timeoutMs) != 1 ||
            getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            close(descriptor);
            return -1;
        }
    }
    const int flags = fcntl(descriptor, F_GETFL);
    fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return descriptor;
}

int UnusedLoopbackPort() {
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t size = sizeof address;
    bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size);
    close(descriptor);
    return ntohs(address.sin_port);
}

void ResetAndClose(int descriptor) {
    const linger abortive{1, 0};
    setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(descriptor);
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
