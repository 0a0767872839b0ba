#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "cli/step_link.h"
#include "net/device_socket.h"
#include "net/net_test_support.h"
#include "transfer/ack_trace_link.h"

namespace {

using net_testing::LoopbackPeer;
using net_testing::RecordingWindow;
using net_testing::WaitUntil;

constexpr std::size_t kMoreThanTheBuffersHold = 16u * 1024u * 1024u;
constexpr int kPeerDelayMs = 300;
constexpr int kSmallReceiveBuffer = 4096;
constexpr unsigned kOtherMessage = 0x7777;
constexpr unsigned kOtherTimer = 7;

const std::uint8_t* Bytes(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

void Sleep(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// A listener whose queue of pending connections is full: a further connection attempt gets no
// answer (its SYN is dropped) until the queue has room again.
struct FullListener {
    FullListener() : first(net_testing::ConnectLoopback(peer.Port())) {}
    ~FullListener() {
        if (first >= 0) {
            net_testing::CloseSocket(first);
        }
    }
    LoopbackPeer peer{/*backlog=*/0};
    int first = -1;
};

// A socket whose blocking calls count their wake-ups and report a waiting tick of its
// time-out timer when asked to.
class ProbeSocket : public net::DeviceSocket {
  public:
    ProbeSocket() : net::DeviceSocket(nullptr) {}
    bool OnMessagePending() override {
        ++wakeUps;
        return net::DeviceSocket::OnMessagePending();
    }
    int wakeUps = 0;
    bool timerTickWaiting = false;

  protected:
    bool TakeWaitingTimerTick(unsigned timerId) override {
        return timerTickWaiting && timerId == timeoutTimerId;
    }
};

// Queues a posted message and arms a fast timer; neither may be handled inside a blocking call.
void QueueOtherWork(RecordingWindow& window) {
    window.Window().PostMessage(kOtherMessage, 1, 2);
    window.Window().SetTimer(kOtherTimer, 10);
}

TEST(BlockingSocketTest, WaitingConnectHandlesNoPostedMessageOrTimerTick) {
    FullListener listener;
    ASSERT_GE(listener.first, 0);
    RecordingWindow window;
    QueueOtherWork(window);
    // Room in the queue appears later; the attempt is retried by the network stack.
    std::thread freer([&] {
        Sleep(kPeerDelayMs);
        listener.peer.Accept(2000);
    });

    net::DeviceSocket socket(nullptr);
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    socket.SetNotifyWindow(&window.Window());
    QElapsedTimer timer;
    timer.start();
    const bool connected = socket.Connect("127.0.0.1", listener.peer.Port());
    const auto waited = timer.elapsed();
    freer.join();

    EXPECT_TRUE(connected);
    EXPECT_GE(waited, kPeerDelayMs - 50) << "the connect did not have to wait";
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_TRUE(window.Ticks().empty());
    EXPECT_TRUE(WaitUntil([&] { return !window.Messages().empty() && !window.Ticks().empty(); }))
        << "queued work is handled once the call has returned";
}

TEST(BlockingSocketTest, WaitingSendHandlesNoPostedMessageOrTimerTick) {
    LoopbackPeer slowPeer(4, kSmallReceiveBuffer);
    RecordingWindow window;
    net::DeviceSocket socket(nullptr);
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    socket.SetNotifyWindow(&window.Window());
    ASSERT_TRUE(socket.Connect("127.0.0.1", slowPeer.Port()));
    ASSERT_TRUE(slowPeer.Accept());
    QueueOtherWork(window);

    const std::string payload(kMoreThanTheBuffersHold, 'x');
    std::size_t received = 0;
    std::thread reader([&] {
        Sleep(kPeerDelayMs);
        received = slowPeer.Read(payload.size(), 20000).size();
    });
    QElapsedTimer timer;
    timer.start();
    const bool sent = socket.SendBytes(Bytes(payload), static_cast<std::int32_t>(payload.size()));
    const auto waited = timer.elapsed();
    reader.join();

    EXPECT_TRUE(sent);
    EXPECT_EQ(received, payload.size());
    EXPECT_GE(waited, kPeerDelayMs - 50) << "the send did not have to wait";
    EXPECT_TRUE(window.Messages().empty());
    EXPECT_TRUE(window.Ticks().empty());
    EXPECT_TRUE(WaitUntil([&] { return !window.Messages().empty() && !window.Ticks().empty(); }));
}

TEST(BlockingSocketTest, PeerClosingDuringSendWaitFailsTheSend) {
    LoopbackPeer slowPeer(4, kSmallReceiveBuffer);
    net::DeviceSocket socket(nullptr);
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    ASSERT_TRUE(socket.Connect("127.0.0.1", slowPeer.Port()));
    ASSERT_TRUE(slowPeer.Accept());

    std::thread closer([&] {
        Sleep(kPeerDelayMs);
        slowPeer.CloseConnection();
    });
    const std::string payload(kMoreThanTheBuffersHold, 'x');
    QElapsedTimer timer;
    timer.start();
    const bool sent = socket.SendBytes(Bytes(payload), static_cast<std::int32_t>(payload.size()));
    const auto waited = timer.elapsed();
    closer.join();

    EXPECT_FALSE(sent);
    EXPECT_LT(waited, platform::kBlockingWakeMs) << "the close must end the wait";
}

TEST(BlockingSocketTest, WaitingTickOfTheTimeoutTimerCancelsSendAtTheNextWakeUp) {
    LoopbackPeer stuckPeer(4, kSmallReceiveBuffer);
    ProbeSocket socket;
    socket.timeoutTimerId = 5;
    socket.timerTickWaiting = true;
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    ASSERT_TRUE(socket.Connect("127.0.0.1", stuckPeer.Port()));
    ASSERT_TRUE(stuckPeer.Accept());

    const std::string payload(kMoreThanTheBuffersHold, 'x');
    QElapsedTimer timer;
    timer.start();
    const bool sent = socket.SendBytes(Bytes(payload), static_cast<std::int32_t>(payload.size()));
    const auto waited = timer.elapsed();

    EXPECT_FALSE(sent);
    EXPECT_EQ(socket.wakeUps, 1);
    EXPECT_EQ(socket.LastError(), EINTR);
    EXPECT_GE(waited, platform::kBlockingWakeMs - 100);
    EXPECT_FALSE(socket.IsBlocking());
}

TEST(BlockingSocketTest, UnansweredConnectGivesUpAtTheConnectTimeout) {
    FullListener listener;
    ASSERT_GE(listener.first, 0);
    net::DeviceSocket socket(nullptr);
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    socket.SetConnectTimeoutMs(400);
    int hookCalls = 0;  // the window repaints here
    socket.SetWaitHook([&] { ++hookCalls; });

    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(socket.Connect("127.0.0.1", listener.peer.Port()));
    EXPECT_GE(hookCalls, 400 / platform::kWaitHookPeriodMs - 1);
    EXPECT_EQ(socket.LastError(), ETIMEDOUT);
    EXPECT_EQ(static_cast<transfer::DeviceLink&>(socket).LastErrorText(), "timed out after 400 ms");
    EXPECT_GE(timer.elapsed(), 350);
    EXPECT_LT(timer.elapsed(), platform::kBlockingWakeMs);
}

// The window is painted through a waiting connect only if every link wrapped around the socket
// hands the wait hook on to it.
TEST(BlockingSocketTest, LinksAroundTheSocketHandItTheWaitHook) {
    struct HookKeepingSocket : net::DeviceSocket {
        HookKeepingSocket() : net::DeviceSocket(nullptr) {}
        void SetWaitHook(std::function<void()> hook) override { kept = std::move(hook); }
        std::function<void()> kept;
    };
    using Link = std::unique_ptr<transfer::DeviceLink>;
    transfer::AckTrace trace;
    const std::pair<const char*, std::function<Link(Link)>> wraps[] = {
        {"trace",
         [&](Link inner) -> Link {
             return std::make_unique<transfer::AckTraceLink>(std::move(inner), trace);
         }},
        {"steps",
         [](Link inner) -> Link {
             return std::make_unique<cli::StepLink>(
                 std::move(inner), [](const std::string&) {}, [] { return 0; });
         }},
    };
    for (const auto& [name, wrap] : wraps) {
        SCOPED_TRACE(name);
        auto socket = std::make_unique<HookKeepingSocket>();
        HookKeepingSocket& inner = *socket;
        const Link link = wrap(std::move(socket));
        int hookCalls = 0;
        link->SetWaitHook([&] { ++hookCalls; });
        ASSERT_TRUE(inner.kept);
        inner.kept();
        EXPECT_EQ(hookCalls, 1);
    }
}

TEST(BlockingSocketTest, ConnectToClosedLoopbackPortFailsPromptly) {
    net::DeviceSocket socket(nullptr);
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(socket.Connect("127.0.0.1", net_testing::UnusedLoopbackPort()));
    EXPECT_EQ(socket.LastError(), ECONNREFUSED);
    EXPECT_EQ(static_cast<transfer::DeviceLink&>(socket).LastErrorText(), "Connection refused");
    EXPECT_LT(timer.elapsed(), platform::kBlockingWakeMs);
}

TEST(BlockingSocketTest, ConnectResolvesAHostName) {
    LoopbackPeer peer;
    net::DeviceSocket socket(nullptr);
    ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
    EXPECT_TRUE(socket.Connect("localhost", peer.Port()));
    EXPECT_TRUE(peer.Accept());
}

TEST(BlockingSocketTest, ConnectRefusesWhatCannotBeConnected) {
    LoopbackPeer peer;
    struct Case {
        const char* what;
        bool create;
        const char* address;
        int port;
        const char* reason;
    };
    const Case cases[] = {
        {"socket not created", false, "127.0.0.1", peer.Port(), ""},
        {"empty address", true, "", peer.Port(), "no address"},
        {"negative port", true, "127.0.0.1", -1, "port -1 is out of range"},
        {"port above 65535", true, "127.0.0.1", 65536 + peer.Port(), " is out of range"},
        // What a blank address field reads as; Linux would connect it to this machine.
        {"this host", true, "0.0.0.0", peer.Port(),
         "address 0.0.0.0 is not a unicast host address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        net::DeviceSocket socket(nullptr);
        if (c.create) {
            ASSERT_TRUE(socket.Create(0, 1, 63, nullptr));
        }
        EXPECT_FALSE(socket.Connect(c.address, c.port));
        EXPECT_NE(socket.LastErrorText().find(c.reason), std::string::npos)
            << socket.LastErrorText();
    }
    EXPECT_FALSE(net_testing::WaitReadable(peer.ListenerDescriptor(), 100))
        << "no case may reach the peer";
}

TEST(BlockingSocketTest, OnlyUnicastHostAddressesMayBeConnected) {
    for (const std::uint32_t address : {0x0u, 0xFFFFFFu, 0xE0000000u, 0xF0000000u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(platform::IsUnicastHostAddress(address)) << std::hex << address;
    }
    EXPECT_TRUE(platform::IsUnicastHostAddress(0x1000000u) &&
                platform::IsUnicastHostAddress(0xDFFFFFFFu));
}

}  // namespace
