#include "transfer/forwarding_device_link.h"

namespace transfer {

ForwardingDeviceLink::ForwardingDeviceLink(std::unique_ptr<DeviceLink> inner)
    : inner_(std::move(inner)) {}

ForwardingDeviceLink::~ForwardingDeviceLink() = default;

bool ForwardingDeviceLink::Create(unsigned localPort, int socketType, long eventMask,
                                  const char* localAddress) {
    return inner_->Create(localPort, socketType, eventMask, localAddress);
}

void ForwardingDeviceLink::SetNotifyWindow(platform::MessageTarget* window) {
    window_ = window;
    inner_->SetNotifyWindow(window != nullptr ? this : nullptr);
}

bool ForwardingDeviceLink::Connect(const std::string& address, int port) {
    return inner_->Connect(address, port);
}

bool ForwardingDeviceLink::SendBytes(const std::uint8_t* data, std::int32_t length) {
    return inner_->SendBytes(data, length);
}

void ForwardingDeviceLink::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    inner_->CopyLastReceived(destination, outLength);
}

void ForwardingDeviceLink::Close() {
    inner_->Close();
}

std::string ForwardingDeviceLink::LastErrorText() const {
    return inner_->LastErrorText();
}

void ForwardingDeviceLink::SetConnectTimeoutMs(int milliseconds) {
    inner_->SetConnectTimeoutMs(milliseconds);
}

void ForwardingDeviceLink::SetWaitHook(std::function<void()> hook) {
    inner_->SetWaitHook(std::move(hook));
}

void ForwardingDeviceLink::PostMessage(unsigned message, platform::WParam wParam,
                                       platform::LParam lParam) {
    Notified(message);
    if (window_ != nullptr) {
        window_->PostMessage(message, wParam, lParam);
    }
}

}  // namespace transfer
