#pragma once

#include <cstdint>
#include <string>

#include "app/log_pipe.h"
#include "net/logging_socket.h"
#include "transfer/device_link.h"

namespace net {

// The program's one TCP connection to the device. Tells `notifyWindow` (when set) of every
// receive, of the peer closing and of an accept event by posting WM_DEVICE_RECEIVE,
// WM_DEVICE_CLOSE and WM_DEVICE_ACCEPT with wParam `index` and lParam `tag`; logs
// "plc socket::close\r\n" and "plc socket::accept\r\n" before posting the last two.
class DeviceSocket : public LoggingSocket, public transfer::DeviceLink {
  public:
    explicit DeviceSocket(app::LogPipe* logPipe);
    ~DeviceSocket() override;

    // transfer::DeviceLink
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

    void NotifyAccept() override;
    void NotifyReceive() override;
    void NotifyClose() override;

  private:
    void Post(unsigned message);
};

}  // namespace net
