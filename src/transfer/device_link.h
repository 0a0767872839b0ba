#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/window_messages.h"

namespace transfer {

// What the upload sequencer needs of its connection to the device (net/DeviceSocket is the
// real one; tests use fakes). Connect and SendBytes block the calling thread: no posted
// message or timer tick of the program is handled while they wait.
class DeviceLink {
  public:
    virtual ~DeviceLink() = default;

    // Makes the TCP socket: local port (0 = any), socket type (1 = stream), event mask
    // (63 = all six notifications), local address (null = any). False on failure.
    virtual bool Create(unsigned localPort, int socketType, long eventMask,
                        const char* localAddress) = 0;
    // Where WM_DEVICE_RECEIVE / WM_DEVICE_CLOSE / WM_DEVICE_ACCEPT are posted.
    virtual void SetNotifyWindow(platform::MessageTarget* window) = 0;
    // Blocking connect to a dotted address (or host name) and port. False on failure.
    virtual bool Connect(const std::string& address, int port) = 0;
    // Blocking send of all `length` bytes; true only if every byte was handed over.
    virtual bool SendBytes(const std::uint8_t* data, std::int32_t length) = 0;
    // Copies the last received chunk when it was 1..4095 bytes long and sets outLength;
    // otherwise copies nothing and leaves outLength alone. Writes no terminator.
    virtual void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) = 0;
    virtual void Close() = 0;

    // The system's reason for the last failed Create, Connect or SendBytes, in words ("Connection
    // refused", "timed out after 21 s", "address 0.0.0.0 is not a unicast host address"); empty
    // when it is not known.
    virtual std::string LastErrorText() const { return {}; }
    // How long Connect may wait for the device to answer; 0 or less: the default (21 s).
    virtual void SetConnectTimeoutMs(int /*milliseconds*/) {}
    // Called several times a second while Connect or SendBytes waits, on the waiting thread:
    // the place to repaint a window. It must handle no input, timer tick or posted message, and
    // must not destroy the link.
    virtual void SetWaitHook(std::function<void()> /*hook*/) {}
};

}  // namespace transfer
