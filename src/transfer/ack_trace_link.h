#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "platform/window_messages.h"
#include "transfer/ack_trace.h"
#include "transfer/device_link.h"

namespace transfer {

// A connection that notes in an AckTrace what passes through another one: the connect, every
// send (when it returned), every chunk read through CopyLastReceived (timed when its receive
// was announced) and the device closing. It changes nothing of what the sequencer sees.
class AckTraceLink : public DeviceLink, private platform::MessageTarget {
  public:
    // `trace` must outlive the link (the sequencer drops the link when a run ends).
    AckTraceLink(std::unique_ptr<DeviceLink> inner, AckTrace& trace);
    ~AckTraceLink() override;

    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override;
    void SetNotifyWindow(platform::MessageTarget* window) override;
    bool Connect(const std::string& address, int port) override;
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override;
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override;
    void Close() override;
    std::string LastErrorText() const override { return inner_->LastErrorText(); }
    void SetConnectTimeoutMs(int milliseconds) override {
        inner_->SetConnectTimeoutMs(milliseconds);
    }

    DeviceLink& Inner() { return *inner_; }

  private:
    // The inner link's notifications pass here on their way to the window.
    void PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) override;

    std::unique_ptr<DeviceLink> inner_;
    AckTrace& trace_;
    platform::MessageTarget* window_ = nullptr;
    std::deque<std::int64_t> receiveTimes_;  // announced receives not yet read, oldest first
};

}  // namespace transfer
