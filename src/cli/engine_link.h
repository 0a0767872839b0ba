#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/log_pipe.h"
#include "net/device_socket.h"
#include "platform/tcp_client_qt.h"
#include "transfer/device_link.h"

namespace cli {

// A device connection for uploads that share one thread: the connection is made before the
// sequencer gets the link (StartConnect, then the sequencer's Start once `done` was called), so
// the sequencer's Create and Connect only report what already happened, and SendBytes hands the
// frame to the connection without waiting (what the peer cannot take yet is sent when it makes
// room; a device that stops reading thus fails its acknowledgement). Posts the same messages and
// writes the same diagnostic lines as net::DeviceSocket.
class EngineLink : public transfer::DeviceLink {
  public:
    explicit EngineLink(app::LogPipe* logPipe);
    ~EngineLink() override;

    // Makes the socket and starts connecting; `done` is called once, from the event loop, when
    // the connection is made or has failed (also at once, queued, when no socket could be made).
    void StartConnect(const std::string& address, int port, int timeoutMs,
                      std::function<void()> done);

    // transfer::DeviceLink
    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override;
    void SetNotifyWindow(platform::MessageTarget* window) override;
    bool Connect(const std::string& address, int port) override;
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override;
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override;
    void Close() override;
    std::string LastErrorText() const override { return client_.LastErrorText(); }

    // How the device ended the connection, once it did ("the device closed the connection",
    // "connection lost: Connection reset by peer"); empty before. Shared, so that it outlives
    // the link, which the sequencer deletes at the end of the run.
    std::shared_ptr<const std::string> LostReason() const { return lost_; }

  private:
    void OnReceive();
    void OnPeerClosed(int error);

    // Never opened: keeps the received bytes and writes the log lines, as the blocking
    // connection does.
    net::DeviceSocket journal_;
    platform::TcpClient client_;
    bool created_ = false;
    bool connected_ = false;
    std::shared_ptr<std::string> lost_ = std::make_shared<std::string>();
};

}  // namespace cli
