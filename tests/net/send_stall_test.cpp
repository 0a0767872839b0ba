// A blocking send to a device that stops reading gives up once no byte has been taken for the
// stall time; one that keeps reading, however slowly, is waited for.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "net/device_socket.h"
#include "net/net_test_support.h"
#include "platform/async_socket_qt.h"

namespace {

using net_testing::LoopbackPeer;

constexpr int kSmallSendBuffer = 4096;
constexpr int kSmallReceiveBuffer = 2048;
constexpr int kPayloadBytes = 32 * 1024;  // several times what the small buffers hold
constexpr int kTrickleBytes = 2048;
constexpr int kTricklePauseMs = 400;  // well under the stall time, many times over in total

const std::uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

class SendStallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(socket_.Create(0, 1, 63, nullptr));
        ASSERT_TRUE(socket_.SetSendBufferSize(kSmallSendBuffer));
        ASSERT_TRUE(socket_.Connect("127.0.0.1", peer_.Port()));
        ASSERT_TRUE(peer_.Accept());
    }

    LoopbackPeer peer_{4, kSmallReceiveBuffer};
    net::DeviceSocket socket_{nullptr};
    const std::string payload_ = std::string(kPayloadBytes, 'p');
};

TEST_F(SendStallTest, PeerThatStopsReadingFailsTheSendAfterTheStallTime) {
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(socket_.SendBytes(Bytes(payload_), kPayloadBytes));
    EXPECT_EQ(socket_.LastError(), ETIMEDOUT);
    EXPECT_GE(timer.elapsed(), platform::kSendStallTimeoutMs - 100);
    EXPECT_LT(timer.elapsed(), platform::kSendStallTimeoutMs + platform::kBlockingWakeMs);
    EXPECT_FALSE(socket_.IsBlocking());
}

TEST_F(SendStallTest, PeerThatReadsSlowlyButSteadilyIsWaitedForToTheEnd) {
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        while (received < static_cast<std::size_t>(kPayloadBytes)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTricklePauseMs));
            const std::string piece = peer_.Read(kTrickleBytes, 1000);
            if (piece.empty()) {
                break;
            }
            received += piece.size();
        }
    });
    QElapsedTimer timer;
    timer.start();
    const bool sent = socket_.SendBytes(Bytes(payload_), kPayloadBytes);
    const auto elapsed = timer.elapsed();
    reader.join();

    EXPECT_TRUE(sent) << "errno " << socket_.LastError();
    EXPECT_EQ(received, static_cast<std::size_t>(kPayloadBytes));
    EXPECT_GT(elapsed, platform::kSendStallTimeoutMs) << "the send never waited long in total";
}

}  // namespace
