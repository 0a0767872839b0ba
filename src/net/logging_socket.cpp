#include "net/logging_socket.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace net {

namespace {

constexpr int kHexItemLength = 3;  // "%02X "
constexpr char kLineEnd[] = "\r\n";
constexpr int kLineEndLength = 2;

}  // namespace

LoggingSocket::LoggingSocket(app::LogPipe* logPipe) : logPipe_(logPipe) {}

LoggingSocket::~LoggingSocket() = default;

bool LoggingSocket::SendBytes(const std::uint8_t* data, std::int32_t length) {
    const int sent = Send(data, length);
    LogHexDump(true, length, data);
    return sent == length;
}

void LoggingSocket::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) const {
    if (destination == nullptr || lastReadCount < 1 || lastReadCount >= kReceiveBufferSize) {
        return;
    }
    std::memcpy(destination, recvBuffer, static_cast<std::size_t>(lastReadCount));
    outLength = lastReadCount;
}

void LoggingSocket::LogHexDump(bool isWrite, std::int32_t count, const std::uint8_t* bytes) {
    if (logPipe_ == nullptr || !logPipe_->IsOpen()) {
        return;
    }
    std::memset(logLine, 0, sizeof logLine);
    const int prefixLength =
        isWrite ? std::snprintf(logLine, sizeof logLine, "socket Write %02d: ", count)
                : std::snprintf(logLine, sizeof logLine, "socket Read  %02d: ", count);
    const std::size_t itemCount =
        (count > 0 && bytes != nullptr) ? static_cast<std::size_t>(count) : 0;
    const std::size_t lineLength =
        static_cast<std::size_t>(prefixLength) + kHexItemLength * itemCount + kLineEndLength;

    // Short dumps (up to 334 bytes) are formatted in logLine; longer ones in a string of their
    // own, so every byte is logged and nothing is written past logLine.
    if (lineLength < sizeof logLine) {
        char* end = logLine + prefixLength;
        for (std::size_t i = 0; i < itemCount; ++i) {
            std::snprintf(hexItem, sizeof hexItem, "%02X ", bytes[i]);
            std::memcpy(end, hexItem, kHexItemLength);
            end += kHexItemLength;
        }
        std::memcpy(end, kLineEnd, sizeof kLineEnd);
        LogText(logLine);
        return;
    }
    std::string line;
    line.reserve(lineLength);
    line.append(logLine, static_cast<std::size_t>(prefixLength));
    for (std::size_t i = 0; i < itemCount; ++i) {
        std::snprintf(hexItem, sizeof hexItem, "%02X ", bytes[i]);
        line.append(hexItem, kHexItemLength);
    }
    line.append(kLineEnd);
    LogText(line.c_str());
}

void LoggingSocket::LogText(const char* text) {
    if (logPipe_ != nullptr) {
        logPipe_->WriteLine(text);
    }
}

void LoggingSocket::OnReceive(int errorCode) {
    std::memset(recvBuffer, 0, sizeof recvBuffer);
    const int count = Receive(recvBuffer, kReceiveBufferSize);
    lastReadCount = count;
    LogHexDump(false, count, recvBuffer);
    NotifyReceive();
    platform::AsyncSocket::OnReceive(errorCode);
}

void LoggingSocket::OnClose(int errorCode) {
    std::snprintf(logLine, sizeof logLine, "Socket::OnClose(index=%d)\r\n", index);
    LogText(logLine);
    NotifyClose();
    platform::AsyncSocket::OnClose(errorCode);
}

void LoggingSocket::OnAccept(int errorCode) {
    std::snprintf(logLine, sizeof logLine, "Socket::OnAccept(index=%d)\r\n", index);
    LogText(logLine);
    NotifyAccept();
    platform::AsyncSocket::OnAccept(errorCode);
}

void LoggingSocket::Close() {
    std::snprintf(logLine, sizeof logLine, "Socket::Close(index=%d)\r\n", index);
    LogText(logLine);
    platform::AsyncSocket::Close();
}

bool LoggingSocket::OnMessagePending() {
    if (timeoutTimerId != 0 && TakeWaitingTimerTick(timeoutTimerId)) {
        CancelBlockingCall();
        return false;
    }
    return platform::AsyncSocket::OnMessagePending();
}

bool LoggingSocket::TakeWaitingTimerTick(unsigned) {
    return false;
}

}  // namespace net
