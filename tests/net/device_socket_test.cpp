#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "app/log_pipe.h"
#include "net/device_socket.h"
#include "net/net_test_support.h"
#include "platform/pipe_client.h"
#include "support/skip_on_windows.h"
#include "support/test_support.h"

namespace {

using net_testing::LoopbackPeer;
using net_testing::PipeCapture;
using net_testing::RecordingWindow;
using net_testing::ScopedEnv;
using net_testing::WaitUntil;

const std::uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The dump line built independently of the code under test.
std::string ExpectedDump(bool isWrite, int count, const std::string& bytes) {
    char prefix[40];
    std::snprintf(prefix, sizeof prefix,
                  isWrite ? "socket Write %02d: " : "socket Read  %02d: ", count);
    std::string line = prefix;
    for (unsigned char byte : bytes) {
        char item[4];
        std::snprintf(item, sizeof item, "%02X ", byte);
        line += item;
    }
    return line + "\r\n";
}

std::string Pattern(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>(i * 7 + 3);
    }
    return bytes;
}

class DeviceSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        capture_ = std::make_unique<PipeCapture>(platform::LogPipePath());
        ASSERT_TRUE(capture_->Listening());
        ASSERT_EQ(pipe_.Open(), 1);
        ASSERT_TRUE(capture_->Accept());
        socket_ = std::make_unique<net::DeviceSocket>(&pipe_);
    }

    void ConnectToPeer() {
        ASSERT_TRUE(socket_->Create(0, 1, 63, nullptr));
        socket_->SetNotifyWindow(&window_.Window());
        ASSERT_TRUE(socket_->Connect("127.0.0.1", peer_.Port()));
        ASSERT_TRUE(peer_.Accept());
    }

    std::string Log() { return capture_->Take(); }

    // Runs the event loop until `text` has been logged; keeps what was read in seen_.
    bool WaitForLog(const std::string& text) {
        return WaitUntil([&] {
            seen_ += Log();
            return seen_.find(text) != std::string::npos;
        });
    }

    bool WaitForMessages(std::size_t count) {
        return WaitUntil([&] { return window_.Messages().size() >= count; });
    }

    testing_support::TempDir runtime_;
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path().string().c_str()};
    std::unique_ptr<PipeCapture> capture_;
    app::LogPipe pipe_;
    RecordingWindow window_;
    LoopbackPeer peer_;
    std::unique_ptr<net::DeviceSocket> socket_;
    std::string seen_;
};

TEST_F(DeviceSocketTest, OkReplyIsLoggedBeforeReceiveIsPosted) {
    ConnectToPeer();
    std::string logWhenHandled;
    window_.OnMessage([&](unsigned) { logWhenHandled = Log(); });

    ASSERT_TRUE(peer_.Send("OK"));
    ASSERT_TRUE(WaitForMessages(1));

    EXPECT_EQ(logWhenHandled, "socket Read  02: 4F 4B \r\n");
    EXPECT_EQ(socket_->lastReadCount, 2);
    EXPECT_EQ(window_.Messages()[0].message, platform::WM_DEVICE_RECEIVE);
    EXPECT_EQ(window_.Messages()[0].wParam, 0u);
    EXPECT_EQ(window_.Messages()[0].lParam, 0);
    std::uint8_t copy[net::kReceiveBufferSize] = {};
    std::int32_t length = -5;
    socket_->CopyLastReceived(copy, length);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy)), "OK");
}

TEST_F(DeviceSocketTest, ReplyInTwoPiecesGivesTwoReadLinesAndTwoNotifications) {
    ConnectToPeer();
    ASSERT_TRUE(peer_.Send("O"));
    ASSERT_TRUE(WaitForMessages(1));
    ASSERT_TRUE(peer_.Send("K"));
    ASSERT_TRUE(WaitForMessages(2));

    EXPECT_EQ(Log(), "socket Read  01: 4F \r\nsocket Read  01: 4B \r\n");
    EXPECT_EQ(window_.Messages()[1].message, platform::WM_DEVICE_RECEIVE);
    std::uint8_t copy[net::kReceiveBufferSize] = {};
    std::int32_t length = 0;
    socket_->CopyLastReceived(copy, length);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(copy[0], 'K');
}

TEST_F(DeviceSocketTest, ReceiveThatFillsTheWholeBufferCopiesNothing) {
    ConnectToPeer();
    const std::string reply = Pattern(net::kReceiveBufferSize);
    ASSERT_TRUE(peer_.Send(reply));
    ASSERT_TRUE(WaitForMessages(1));

    ASSERT_EQ(socket_->lastReadCount, net::kReceiveBufferSize);
    std::uint8_t copy[net::kReceiveBufferSize] = {};
    std::int32_t length = 77;
    socket_->CopyLastReceived(copy, length);
    EXPECT_EQ(length, 77);
    EXPECT_EQ(copy[0], 0);
    // The 4096-byte dump is written whole, as one line.
    EXPECT_EQ(Log(), ExpectedDump(false, net::kReceiveBufferSize, reply));
}

TEST_F(DeviceSocketTest, PeerCloseLogsBothLinesPostsCloseAndKeepsSocketOpen) {
    ConnectToPeer();
    peer_.CloseConnection();
    ASSERT_TRUE(WaitForMessages(1));

    EXPECT_EQ(Log(), "Socket::OnClose(index=0)\r\nplc socket::close\r\n");
    EXPECT_EQ(window_.Messages()[0].message, platform::WM_DEVICE_CLOSE);
    EXPECT_TRUE(socket_->IsOpen());
    net_testing::Pump(100);
    EXPECT_EQ(window_.Messages().size(), 1u) << "the close is reported once";
}

TEST_F(DeviceSocketTest, PeerResetIsReportedAsClose) {
    VELLUMIX_SKIP_ON_WINDOWS(net_testing::kNoResetsUnderWine);
    ConnectToPeer();
    peer_.CloseConnection(/*reset=*/true);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(window_.Messages()[0].message, platform::WM_DEVICE_CLOSE);
    EXPECT_EQ(Log(), "Socket::OnClose(index=0)\r\nplc socket::close\r\n");
}

TEST_F(DeviceSocketTest, ReceiveOfZeroAfterPeerClosedLogsPrefixPostsAndCopiesNothing) {
    ConnectToPeer();
    peer_.CloseConnection();
    ASSERT_TRUE(WaitForMessages(1));
    Log();  // drop the close lines

    socket_->OnReceive(0);
    ASSERT_TRUE(WaitForMessages(2));

    EXPECT_EQ(socket_->lastReadCount, 0);
    EXPECT_EQ(Log(), "socket Read  00: \r\n");
    EXPECT_EQ(window_.Messages()[1].message, platform::WM_DEVICE_RECEIVE);
    std::uint8_t copy[8] = {};
    std::int32_t length = 9;
    socket_->CopyLastReceived(copy, length);
    EXPECT_EQ(length, 9);
}

TEST_F(DeviceSocketTest, SendBytesLogsTheRequestedBytesAfterSending) {
    ConnectToPeer();
    const std::string magic = "KXHTMLUPGRADE";
    EXPECT_TRUE(socket_->SendBytes(Bytes(magic), 13));
    EXPECT_EQ(peer_.Read(13), magic);
    EXPECT_TRUE(socket_->SendBytes(Bytes(magic), 0));

    EXPECT_EQ(Log(),
              "socket Write 13: 4B 58 48 54 4D 4C 55 50 47 52 41 44 45 \r\n"
              "socket Write 00: \r\n");
}

TEST_F(DeviceSocketTest, FailedSendReturnsFalseAndStillLogsEveryByte) {
    VELLUMIX_SKIP_ON_WINDOWS(net_testing::kNoResetsUnderWine);
    ConnectToPeer();
    peer_.CloseConnection(/*reset=*/true);
    ASSERT_TRUE(WaitForMessages(1));
    Log();

    const std::string frame = Pattern(1024);
    EXPECT_FALSE(socket_->SendBytes(Bytes(frame), 1024));
    EXPECT_EQ(Log(), ExpectedDump(true, 1024, frame));
}

TEST_F(DeviceSocketTest, SendBytesOnUnconnectedSocketFails) {
    EXPECT_FALSE(socket_->SendBytes(Bytes("OK"), 2));
    ASSERT_TRUE(socket_->Create(0, 1, 63, nullptr));
    EXPECT_FALSE(socket_->SendBytes(Bytes("OK"), 2));
    EXPECT_EQ(Log(), "socket Write 02: 4F 4B \r\nsocket Write 02: 4F 4B \r\n");
}

TEST_F(DeviceSocketTest, CloseTwiceLogsTwiceAndClosesOnce) {
    ConnectToPeer();
    socket_->Close();
    EXPECT_FALSE(socket_->IsOpen());
    EXPECT_TRUE(net_testing::SeesEnd(peer_.ConnectionDescriptor()));
    socket_->Close();
    EXPECT_EQ(Log(), "Socket::Close(index=0)\r\nSocket::Close(index=0)\r\n");
}

TEST_F(DeviceSocketTest, ClosedSocketRaisesNoMoreEvents) {
    ConnectToPeer();
    ASSERT_TRUE(peer_.Send("OK"));
    socket_->Close();
    net_testing::Pump(100);
    EXPECT_TRUE(window_.Messages().empty());
    EXPECT_EQ(Log(), "Socket::Close(index=0)\r\n");
}

TEST_F(DeviceSocketTest, DeletingAnOpenSocketClosesItWithoutALine) {
    ConnectToPeer();
    socket_.reset();
    EXPECT_TRUE(net_testing::SeesEnd(peer_.ConnectionDescriptor()));
    EXPECT_EQ(Log(), "");
}

TEST_F(DeviceSocketTest, IndexAndTagTravelInLinesAndNotifications) {
    socket_->index = 3;
    socket_->tag = 9;
    ConnectToPeer();
    ASSERT_TRUE(peer_.Send("OK"));
    ASSERT_TRUE(WaitForMessages(1));
    peer_.CloseConnection();
    ASSERT_TRUE(WaitForMessages(2));
    socket_->Close();

    EXPECT_EQ(window_.Messages()[0].wParam, 3u);
    EXPECT_EQ(window_.Messages()[0].lParam, 9);
    EXPECT_EQ(window_.Messages()[1].wParam, 3u);
    EXPECT_EQ(Log(),
              "socket Read  02: 4F 4B \r\nSocket::OnClose(index=3)\r\nplc socket::close\r\n"
              "Socket::Close(index=3)\r\n");
}

TEST_F(DeviceSocketTest, WithoutNotifyWindowLinesAreWrittenAndNothingIsPosted) {
    ASSERT_TRUE(socket_->Create(0, 1, 63, nullptr));
    ASSERT_TRUE(socket_->Connect("127.0.0.1", peer_.Port()));
    ASSERT_TRUE(peer_.Accept());
    ASSERT_TRUE(peer_.Send("OK"));
    ASSERT_TRUE(WaitForLog("socket Read  02: 4F 4B \r\n"));
    peer_.CloseConnection();
    ASSERT_TRUE(WaitForLog("plc socket::close\r\n"));
    net_testing::Pump(50);
    EXPECT_TRUE(window_.Messages().empty());
}

TEST_F(DeviceSocketTest, AcceptEventIsLoggedAndPostedOnceUntilAccepted) {
    ASSERT_TRUE(socket_->Create(0, 1, 63, "127.0.0.1"));
    socket_->SetNotifyWindow(&window_.Window());
    ASSERT_TRUE(socket_->Listen());
    const int client = net_testing::ConnectLoopback(socket_->LocalPort());
    ASSERT_GE(client, 0);

    ASSERT_TRUE(WaitForMessages(1));
    net_testing::Pump(100);
    EXPECT_EQ(window_.Messages().size(), 1u);
    EXPECT_EQ(window_.Messages()[0].message, platform::WM_DEVICE_ACCEPT);
    EXPECT_EQ(Log(), "Socket::OnAccept(index=0)\r\nplc socket::accept\r\n");
    net_testing::CloseSocket(client);
}

TEST_F(DeviceSocketTest, HexDumpOfAnyLengthIsWrittenWholeWithoutTouchingTheSocket) {
    struct Case {
        bool isWrite;
        int count;
    };
    // 334 bytes is the longest dump that fits the 1024-character line buffer.
    const Case cases[] = {{false, 2},  {true, 13},  {true, 0},     {false, -1},
                          {true, 334}, {true, 335}, {false, 1024}, {false, 4096}};
    std::memset(socket_->recvBuffer, 0xAB, sizeof socket_->recvBuffer);
    socket_->lastReadCount = 42;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        const std::string bytes = Pattern(c.count > 0 ? static_cast<std::size_t>(c.count) : 0);
        socket_->LogHexDump(c.isWrite, c.count, Bytes(bytes));
        EXPECT_EQ(Log(), ExpectedDump(c.isWrite, c.count, bytes));
    }
    for (std::uint8_t byte : socket_->recvBuffer) {
        ASSERT_EQ(byte, 0xAB);
    }
    EXPECT_EQ(socket_->lastReadCount, 42);
}

TEST_F(DeviceSocketTest, WithoutLogPipeNothingIsLoggedAndTheSocketStillWorks) {
    net::DeviceSocket quiet(nullptr);
    ASSERT_TRUE(quiet.Create(0, 1, 63, nullptr));
    quiet.SetNotifyWindow(&window_.Window());
    ASSERT_TRUE(quiet.Connect("127.0.0.1", peer_.Port()));
    ASSERT_TRUE(peer_.Accept());
    EXPECT_TRUE(quiet.SendBytes(Bytes("AB"), 2));
    ASSERT_TRUE(peer_.Send("OK"));
    ASSERT_TRUE(WaitForMessages(1));
    quiet.Close();
    EXPECT_EQ(peer_.Read(2), "AB");
    EXPECT_EQ(Log(), "");
}

TEST_F(DeviceSocketTest, CreateFailuresAtBindingLogTheCloseLine) {
    LoopbackPeer taken;
    struct Case {
        const char* what;
        unsigned port;
        const char* address;
    };
    const Case cases[] = {
        {"address that is not dotted IPv4", 0, "not-an-address"},
        {"port already in use", static_cast<unsigned>(taken.Port()), "127.0.0.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        net::DeviceSocket socket(&pipe_);
        EXPECT_FALSE(socket.Create(c.port, 1, 63, c.address));
        EXPECT_FALSE(socket.IsOpen());
        EXPECT_EQ(Log(), "Socket::Close(index=0)\r\n");
    }
}

TEST_F(DeviceSocketTest, CreateOfAnotherSocketTypeFailsWithoutALine) {
    EXPECT_FALSE(socket_->Create(0, 2, 63, nullptr));
    EXPECT_FALSE(socket_->IsOpen());
    EXPECT_EQ(Log(), "");
}

TEST_F(DeviceSocketTest, FailedConnectLogsNothing) {
    ASSERT_TRUE(socket_->Create(0, 1, 63, nullptr));
    EXPECT_FALSE(socket_->Connect("127.0.0.1", net_testing::UnusedLoopbackPort()));
    EXPECT_EQ(Log(), "");
}

}  // namespace
