#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "net/logging_socket.h"
#include "transfer/device_link.h"

namespace cli {

// A device connection for uploads that share one thread and one Asio loop (epoll on Linux, I/O
// completion ports on Windows): the connection is made before the sequencer gets the link
// (StartConnect, then the sequencer's Start once `done` was called), so the sequencer's Create
// and Connect only report what already happened, and SendBytes hands the frame to the
// connection without waiting (what the peer cannot take yet is sent when it makes room; a
// device that stops reading thus fails its acknowledgement). Posts the same messages and writes
// the same diagnostic lines as net::DeviceSocket, through `journal` (shared by every link of an
// upload; null: no lines). Keeps only the bytes of its last read, not a receive buffer.
class EngineLink : public transfer::DeviceLink {
  public:
    EngineLink(asio::io_context& loop, net::LoggingSocket* journal);
    ~EngineLink() override;
    EngineLink(const EngineLink&) = delete;
    EngineLink& operator=(const EngineLink&) = delete;

    // Makes the socket and starts connecting to a dotted IPv4 address or a host name (resolved
    // beside the loop); `done` is called once, from the loop, when the connection is made or
    // has failed (also when no socket could be made). Addresses that are not unicast host
    // addresses fail without an attempt.
    void StartConnect(const std::string& address, int port, int timeoutMs,
                      std::function<void()> done);

    // transfer::DeviceLink
    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override;
    void SetNotifyWindow(platform::MessageTarget* window) override { window_ = window; }
    bool Connect(const std::string& address, int port) override;
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override;
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override;
    void Close() override;
    std::string LastErrorText() const override;

    // How the device ended the connection, once it did ("the device closed the connection",
    // "connection lost: Connection reset by peer"); empty before. Shared, so that it outlives
    // the link, which the sequencer deletes at the end of the run.
    std::shared_ptr<const std::string> LostReason() const { return lost_; }

  private:
    struct Resolution;

    void ConnectTo(std::uint32_t address, int port);
    void PollConnect(int pollMs);
    void FinishConnect(int error);
    void WaitReadable();
    void OnRead(std::size_t firstCount);
    void OnPeerClosed(int error);
    void WaitWritable();
    void OnWritable();
    bool SendNow(const std::uint8_t* data, std::size_t length);
    bool Flush();
    void Fail(int error);
    void Post(unsigned message);
    void Shut();

    asio::io_context& loop_;
    net::LoggingSocket* journal_;
    asio::ip::tcp::socket socket_;
    std::unique_ptr<asio::steady_timer> connectTimer_;  // only while connecting
    std::unique_ptr<asio::steady_timer> pollTimer_;     // where connects are also polled
    platform::MessageTarget* window_ = nullptr;
    int descriptor_ = -1;  // owned by socket_ once it is assigned
    bool created_ = false;
    bool connected_ = false;
    bool closeReported_ = false;
    bool writeWaiting_ = false;
    int lastError_ = 0;
    std::string lastErrorText_;  // when the error number alone does not say it
    int timeoutMs_ = 0;
    std::function<void()> onConnect_;
    std::array<std::uint8_t, 16> firstBytes_{};  // where a read lands (a reply is short)
    std::vector<std::uint8_t> received_;         // the last read, when it was 1..4095 bytes
    std::int32_t lastReadCount_ = 0;
    std::vector<std::uint8_t> queue_;  // what the system did not take yet
    std::size_t queueStart_ = 0;
    std::shared_ptr<Resolution> resolution_;
    std::shared_ptr<char> alive_;  // handlers that outlive the link find it expired
    std::shared_ptr<std::string> lost_ = std::make_shared<std::string>();
};

}  // namespace cli
