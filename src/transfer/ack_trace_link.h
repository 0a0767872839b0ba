#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "transfer/ack_trace.h"
#include "transfer/forwarding_device_link.h"

namespace transfer {

// A connection that notes in an AckTrace what passes through another one: the connect, every
// send (when it returned), every chunk read through CopyLastReceived (timed when its receive
// was announced) and the device closing. It changes nothing of what the sequencer sees.
class AckTraceLink : public ForwardingDeviceLink {
  public:
    // `trace` must outlive the link (the sequencer drops the link when a run ends).
    AckTraceLink(std::unique_ptr<DeviceLink> inner, AckTrace& trace);

    bool Connect(const std::string& address, int port) override;
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override;
    void Close() override;

  private:
    void Notified(unsigned message) override;
    void Read(const std::uint8_t* chunk, std::int32_t length) override;

    AckTrace& trace_;
    std::deque<std::int64_t> receiveTimes_;  // announced receives not yet read, oldest first
};

}  // namespace transfer
