#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/window_messages.h"
#include "transfer/device_link.h"

namespace transfer {

// A connection that hands every call on to another one and passes the other's notifications on
// to the window: the base of the links that watch a connection, each of which overrides only
// what it notes. What it forwards reaches the inner link unchanged, so a watching link changes
// nothing of what the sequencer sees.
class ForwardingDeviceLink : public DeviceLink, private platform::MessageTarget {
  public:
    explicit ForwardingDeviceLink(std::unique_ptr<DeviceLink> inner);
    ~ForwardingDeviceLink() override;

    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override;
    void SetNotifyWindow(platform::MessageTarget* window) override;
    bool Connect(const std::string& address, int port) override;
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override;
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override;
    void Close() override;
    std::string LastErrorText() const override;
    void SetConnectTimeoutMs(int milliseconds) override;
    void SetWaitHook(std::function<void()> hook) override;

    DeviceLink& Inner() { return *inner_; }

  protected:
    // Called with each notification of the inner link just before the window gets it (only
    // while a window is set).
    virtual void Notified(unsigned /*message*/) {}

  private:
    void PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) override;

    std::unique_ptr<DeviceLink> inner_;
    platform::MessageTarget* window_ = nullptr;
};

}  // namespace transfer
