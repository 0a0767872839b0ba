#include "net/device_socket.h"

namespace net {

DeviceSocket::DeviceSocket(app::LogPipe* logPipe) : LoggingSocket(logPipe) {}

DeviceSocket::~DeviceSocket() = default;

bool DeviceSocket::Create(unsigned localPort, int socketType, long eventMask,
                          const char* localAddress) {
    return platform::AsyncSocket::Create(localPort, socketType, eventMask, localAddress);
}

void DeviceSocket::SetNotifyWindow(platform::MessageTarget* window) {
    notifyWindow = window;
}

bool DeviceSocket::Connect(const std::string& address, int port) {
    return platform::AsyncSocket::Connect(address, port);
}

bool DeviceSocket::SendBytes(const std::uint8_t* data, std::int32_t length) {
    return LoggingSocket::SendBytes(data, length);
}

void DeviceSocket::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    LoggingSocket::CopyLastReceived(destination, outLength);
}

void DeviceSocket::Close() {
    LoggingSocket::Close();
}

std::string DeviceSocket::LastErrorText() const {
    return platform::AsyncSocket::LastErrorText();
}

void DeviceSocket::SetConnectTimeoutMs(int milliseconds) {
    platform::AsyncSocket::SetConnectTimeoutMs(milliseconds);
}

void DeviceSocket::SetWaitHook(std::function<void()> hook) {
    platform::AsyncSocket::SetWaitHook(std::move(hook));
}

void DeviceSocket::NotifyAccept() {
    LogText("plc socket::accept\r\n");
    Post(platform::WM_DEVICE_ACCEPT);
}

void DeviceSocket::NotifyReceive() {
    Post(platform::WM_DEVICE_RECEIVE);
}

void DeviceSocket::NotifyClose() {
    LogText("plc socket::close\r\n");
    Post(platform::WM_DEVICE_CLOSE);
}

void DeviceSocket::Post(unsigned message) {
    if (notifyWindow == nullptr) {
        return;
    }
    notifyWindow->PostMessage(message, static_cast<platform::WParam>(index),
                              static_cast<platform::LParam>(tag));
}

}  // namespace net
