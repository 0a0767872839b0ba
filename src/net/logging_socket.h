#pragma once

#include <cstdint>

#include "app/log_pipe.h"
#include "platform/async_socket_qt.h"
#include "platform/window_messages.h"

namespace net {

inline constexpr int kHexItemSize = 100;
inline constexpr int kLogLineSize = 1024;        // 1023 characters and the NUL
inline constexpr int kReceiveBufferSize = 4096;  // one receive reads at most this much

// A socket that writes one diagnostic line per send, receive, close and accept event, keeps the
// bytes of the last receive, and leaves the telling of its owner to three hooks.
//
// Lines (to the LogPipe given at construction; null = no logging):
//   "socket Write %02d: " then "%02X " per byte then "\r\n"   after every SendBytes
//   "socket Read  %02d: " then "%02X " per byte then "\r\n"   after every receive
//   "Socket::Close(index=%d)\r\n"                             every Close call
//   "Socket::OnClose(index=%d)\r\n"                           the peer closed or reset
//   "Socket::OnAccept(index=%d)\r\n"                          a connection waits (listening)
// A dump of any length is written whole, as one line.
class LoggingSocket : public platform::AsyncSocket {
  public:
    explicit LoggingSocket(app::LogPipe* logPipe);
    ~LoggingSocket() override;

    // Blocking send of all bytes, then the Write dump of all `length` bytes whether or not the
    // send succeeded. True only when every byte was handed to the connection.
    bool SendBytes(const std::uint8_t* data, std::int32_t length);
    // When the last receive read 1..4095 bytes, copies them to `destination` and sets
    // `outLength`; otherwise copies nothing and leaves `outLength` alone. No terminator.
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) const;

    // One hex dump line; `bytes` is read for `count` bytes when count > 0.
    void LogHexDump(bool isWrite, std::int32_t count, const std::uint8_t* bytes);
    // Passes a finished line to the log unchanged.
    void LogText(const char* text);

    // Reads once into recvBuffer (cleared first), logs the Read line, then NotifyReceive.
    void OnReceive(int errorCode) override;
    // Logs the OnClose line, then NotifyClose; the socket stays open until Close.
    void OnClose(int errorCode) override;
    // Logs the OnAccept line, then NotifyAccept; the connection is not accepted here.
    void OnAccept(int errorCode) override;
    // Logs the Close line (also when already closed), then closes.
    void Close() override;
    // A waiting tick of timer `timeoutTimerId` cancels the blocking call in progress.
    bool OnMessagePending() override;

    virtual void NotifyAccept() {}
    virtual void NotifyReceive() {}
    virtual void NotifyClose() {}

    char hexItem[kHexItemSize] = {};
    char logLine[kLogLineSize] = {};
    std::uint8_t recvBuffer[kReceiveBufferSize] = {};
    std::int32_t lastReadCount = 0;
    platform::MessageTarget* notifyWindow = nullptr;
    std::int32_t tag = 0;
    std::int32_t index = 0;
    unsigned timeoutTimerId = 0;  // 0: no timer cancels a blocking call

  protected:
    // Whether a tick of timer `timerId` is due and waiting to be handled; taking it consumes it.
    // Timer ticks of this program are not handled while a blocking call waits, so by default
    // nothing is ever waiting here.
    virtual bool TakeWaitingTimerTick(unsigned timerId);

  private:
    app::LogPipe* logPipe_ = nullptr;
};

}  // namespace net
