#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/window_messages.h"
#include "transfer/device_link.h"

namespace transfer {

// A connection that hands every call on to another one and passes the other's notifications on
// to the window: the base of the links that watch a connection, each of which overrides only
// what it notes. What it forwards reaches the inner link unchanged, so a watching link changes
// nothing of what the sequencer sees.
class ForwardingDeviceLink : public DeviceLink, private platform::MessageTarget {
  public:
    explicit ForwardingDeviceLink(std::unique_ptr<DeviceLink> inner) : inner_(std::move(inner)) {}

    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override {
        return inner_->Create(localPort, socketType, eventMask, localAddress);
    }
    void SetNotifyWindow(platform::MessageTarget* window) override {
        window_ = window;
        inner_->SetNotifyWindow(window != nullptr ? this : nullptr);
    }
    bool Connect(const std::string& address, int port) override {
        return inner_->Connect(address, port);
    }
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override {
        return inner_->SendBytes(data, length);
    }
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override {
        std::int32_t copied = -1;  // left alone by an inner link that copies nothing
        inner_->CopyLastReceived(destination, copied);
        Read(destination, copied);
        if (copied >= 0) {
            outLength = copied;
        }
    }
    void Close() override { inner_->Close(); }
    std::string LastErrorText() const override { return inner_->LastErrorText(); }
    void SetConnectTimeoutMs(int milliseconds) override {
        inner_->SetConnectTimeoutMs(milliseconds);
    }
    void SetWaitHook(std::function<void()> hook) override { inner_->SetWaitHook(std::move(hook)); }

    DeviceLink& Inner() { return *inner_; }

  protected:
    // Called with each notification of the inner link just before the window gets it (only
    // while a window is set).
    virtual void Notified(unsigned /*message*/) {}
    // Called with each read through CopyLastReceived: the chunk copied, or length -1 when the
    // inner link copied nothing (an empty or oversized read, which is no reply).
    virtual void Read(const std::uint8_t* /*chunk*/, std::int32_t /*length*/) {}

  private:
    void PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) override {
        Notified(message);
        if (window_ != nullptr) {
            window_->PostMessage(message, wParam, lParam);
        }
    }

    std::unique_ptr<DeviceLink> inner_;
    platform::MessageTarget* window_ = nullptr;
};

}  // namespace transfer
