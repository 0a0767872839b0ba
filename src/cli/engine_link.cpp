#include "cli/engine_link.h"

#include <cstring>

namespace cli {

EngineLink::EngineLink(app::LogPipe* logPipe) : journal_(logPipe) {
    client_.SetReceiveHandler([this] { OnReceive(); });
    client_.SetCloseHandler([this](int error) { OnPeerClosed(error); });
}

EngineLink::~EngineLink() = default;

void EngineLink::StartConnect(const std::string& address, int port, int timeoutMs,
                              std::function<void()> done) {
    created_ = client_.Open();
    // Without a socket the attempt fails at once, but still reports from the event loop.
    client_.ConnectAsync(address, port, timeoutMs, [this, done = std::move(done)](int error) {
        connected_ = error == 0;
        done();
    });
}

bool EngineLink::Create(unsigned, int, long, const char*) {
    return created_;
}

void EngineLink::SetNotifyWindow(platform::MessageTarget* window) {
    journal_.SetNotifyWindow(window);
}

bool EngineLink::Connect(const std::string&, int) {
    return created_ && connected_;
}

bool EngineLink::SendBytes(const std::uint8_t* data, std::int32_t length) {
    const bool sent = client_.Send(data, length);
    journal_.LogHexDump(true, length, data);
    return sent;
}

void EngineLink::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    journal_.CopyLastReceived(destination, outLength);
}

void EngineLink::Close() {
    journal_.Close();
    client_.Close();
}

void EngineLink::OnReceive() {
    std::memset(journal_.recvBuffer, 0, sizeof journal_.recvBuffer);
    const int count = client_.Receive(journal_.recvBuffer, net::kReceiveBufferSize);
    journal_.lastReadCount = count;
    journal_.LogHexDump(false, count, journal_.recvBuffer);
    journal_.NotifyReceive();
}

void EngineLink::OnPeerClosed(int error) {
    *lost_ = error == 0 ? "the device closed the connection"
                        : std::string("connection lost: ") + std::strerror(error);
    journal_.OnClose(error);
}

}  // namespace cli
