#include "transfer/ack_trace.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/window_messages.h"
#include "transfer/ack_trace_link.h"
#include "transfer/upload_sequencer.h"

namespace {

using transfer::AckOutcome;
using transfer::AckTrace;
using transfer::AckTraceLink;
using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Milliseconds that move only when told to.
struct FakeTime {
    std::int64_t now = 1000;
    AckTrace::NowMs Clock() {
        return [this] { return now; };
    }
};

// The inner connection: answers as told and records what reached it.
class ScriptedLink : public transfer::DeviceLink {
  public:
    bool Create(unsigned, int, long, const char*) override { return true; }
    void SetNotifyWindow(platform::MessageTarget* window) override { window_ = window; }
    bool Connect(const std::string&, int) override { return connectOk; }
    bool SendBytes(const std::uint8_t*, std::int32_t length) override {
        sentLengths.push_back(length);
        return sendOk;
    }
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override {
        if (lastChunk.empty()) {
            return;  // as the socket does for an empty or oversized read
        }
        std::copy(lastChunk.begin(), lastChunk.end(), destination);
        outLength = static_cast<std::int32_t>(lastChunk.size());
    }
    void Close() override { ++closes; }

    // The socket announcing a read of `chunk`.
    void Receive(const std::string& chunk) {
        lastChunk = ToBytes(chunk);
        window_->PostMessage(platform::WM_DEVICE_RECEIVE, 0, 0);
    }
    void PeerCloses() { window_->PostMessage(platform::WM_DEVICE_CLOSE, 0, 0); }

    bool connectOk = true;
    bool sendOk = true;
    Bytes lastChunk;
    std::vector<std::int32_t> sentLengths;
    int closes = 0;

  private:
    platform::MessageTarget* window_ = nullptr;
};

struct RecordingTarget : platform::MessageTarget {
    void PostMessage(unsigned message, platform::WParam, platform::LParam) override {
        messages.push_back(message);
    }
    std::vector<unsigned> messages;
};

TEST(FrameAwaitsAckTest, MagicAndDataFramesAreAnsweredLengthFramesAreNot) {
    const bool expected[] = {true, false, true, false, true};
    for (int index = 0; index < 5; ++index) {
        EXPECT_EQ(transfer::FrameAwaitsAck(index), expected[index]) << index;
    }
}

TEST(IsAckReplyTest, JudgesRepliesAsTheSequencerDoes) {
    struct Case {
        std::string bytes;
        bool ack;
    };
    const Case cases[] = {
        {"OK", true},      {"ok", true},  {"oK", true}, {std::string("OK\0junk", 7), true},
        {"OK\r\n", false}, {"O", false},  {"", false},  {"OKK", false},
        {" OK", false},    {"0K", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const Bytes bytes = ToBytes(c.bytes);
        EXPECT_EQ(transfer::IsAckReply(bytes.data(), static_cast<std::int32_t>(bytes.size())),
                  c.ack);
    }
}

TEST(AckTraceTest, VerdictsTellAnsweredLateWrongAndSilentFramesApart) {
    FakeTime time;
    AckTrace trace(time.Clock());
    const auto reply = [&](std::int64_t atMs, const std::string& text) {
        const Bytes bytes = ToBytes(text);
        trace.NoteReply(atMs, bytes.data(), static_cast<std::int32_t>(bytes.size()));
    };
    time.now += 150;
    trace.NoteSend(13, true);  // frame 0: answered after 4 ms
    reply(154, "OK");
    time.now += 150;
    trace.NoteSend(2, true);  // frame 1: a length frame
    time.now += 150;
    trace.NoteSend(1024, true);  // frame 2: a wrong chunk first, then "ok"
    reply(460, "NAK");
    reply(470, "ok");
    time.now += 150;
    trace.NoteSend(2, true);
    time.now += 150;
    trace.NoteSend(1024, true);  // frame 4: "OK" only after the time-out
    reply(750 + static_cast<std::int64_t>(transfer::kAckTimeoutMs), "OK");
    time.now += 3200;
    trace.NoteSend(2, true);
    time.now += 150;
    trace.NoteSend(1024, true);  // frame 6: two wrong pieces
    reply(4102, "O");
    reply(4200, "K\r\n");
    time.now += 150;
    trace.NoteSend(2, true);
    time.now += 150;
    trace.NoteSend(1024, true);  // frame 8: nothing

    struct Expected {
        AckOutcome outcome;
        std::int64_t delayMs;
    };
    const Expected expected[] = {
        {AckOutcome::kAcknowledged, 4},
        {AckOutcome::kNotAwaited, -1},
        {AckOutcome::kAcknowledged, 20},
        {AckOutcome::kNotAwaited, -1},
        {AckOutcome::kLate, transfer::kAckTimeoutMs},
        {AckOutcome::kNotAwaited, -1},
        {AckOutcome::kWrong, 2},
        {AckOutcome::kNotAwaited, -1},
        {AckOutcome::kNone, -1},
    };
    ASSERT_EQ(trace.Frames().size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        const auto verdict = trace.Judge(trace.Frames()[i]);
        EXPECT_EQ(verdict.outcome, expected[i].outcome);
        EXPECT_EQ(verdict.delayMs, expected[i].delayMs);
    }

    const auto summary = trace.Summary();
    EXPECT_EQ(summary.awaited, 5);
    EXPECT_EQ(summary.acknowledged, 3);  // the late "OK" counts: its delay is the clue
    EXPECT_EQ(summary.minMs, 4);
    EXPECT_EQ(summary.medianMs, 20);
    EXPECT_EQ(summary.maxMs, transfer::kAckTimeoutMs);
}

TEST(AckTraceTest, MedianOfAnEvenCountIsTheMeanOfTheMiddleTwo) {
    FakeTime time;
    AckTrace trace(time.Clock());
    const std::int64_t delays[] = {10, 1, 7, 3};
    for (const auto delay : delays) {
        trace.NoteSend(13, true);
        trace.NoteReply(time.now - 1000 + delay, reinterpret_cast<const std::uint8_t*>("OK"), 2);
        trace.NoteSend(2, true);  // the length frame that follows
    }
    const auto summary = trace.Summary();
    EXPECT_EQ(summary.acknowledged, 4);
    EXPECT_EQ(summary.minMs, 1);
    EXPECT_EQ(summary.medianMs, 5);
    EXPECT_EQ(summary.maxMs, 10);
}

TEST(AckTraceTest, RepliesBeforeTheFirstFrameAreKeptApart) {
    AckTrace trace;
    trace.NoteReply(3, reinterpret_cast<const std::uint8_t*>("OK"), 2);
    EXPECT_EQ(trace.EarlyReplies().size(), 1u);
    EXPECT_TRUE(trace.Frames().empty());
    EXPECT_EQ(trace.Summary().awaited, 0);
}

// A device that floods replies: the trace keeps the first ones and counts the rest, and an OK
// among those only counted still acknowledges the frame, as the sequencer took it.
TEST(AckTraceTest, FloodOfRepliesIsCountedPastTheFirstOnesAndAnOkAmongThemStillCounts) {
    AckTrace trace;
    const auto* junk = reinterpret_cast<const std::uint8_t*>("XY");
    for (int i = 0; i < 1000; ++i) {
        trace.NoteReply(1, junk, 2);
    }
    trace.NoteSend(13, true);
    for (int i = 0; i < 1000; ++i) {
        trace.NoteReply(5, junk, 2);
    }
    trace.NoteReply(9, reinterpret_cast<const std::uint8_t*>("OK"), 2);
    EXPECT_EQ(trace.EarlyReplies().size(), transfer::kMaxTracedReplies);
    EXPECT_EQ(trace.MoreEarlyReplies(), 1000 - 16);
    const auto& frame = trace.Frames().front();
    EXPECT_EQ(frame.replies.size(), transfer::kMaxTracedReplies);
    EXPECT_EQ(frame.moreReplies, 1001 - 16);
    EXPECT_EQ(trace.Judge(frame).outcome, AckOutcome::kAcknowledged);
}

class AckTraceLinkTest : public ::testing::Test {
  protected:
    AckTraceLinkTest() {
        auto inner = std::make_unique<ScriptedLink>();
        inner_ = inner.get();
        link_ = std::make_unique<AckTraceLink>(std::move(inner), trace_);
        link_->SetNotifyWindow(&window_);
    }

    FakeTime time_;
    AckTrace trace_{time_.Clock()};
    ScriptedLink* inner_ = nullptr;
    RecordingTarget window_;
    std::unique_ptr<AckTraceLink> link_;
};

TEST_F(AckTraceLinkTest, PassesResultsAndNotificationsThroughUnchanged) {
    inner_->connectOk = false;
    EXPECT_FALSE(link_->Connect("127.0.0.1", 8001));
    inner_->connectOk = true;
    EXPECT_TRUE(link_->Connect("127.0.0.1", 8001));
    const std::uint8_t frame[13] = {};
    inner_->sendOk = false;
    EXPECT_FALSE(link_->SendBytes(frame, 13));
    inner_->sendOk = true;
    EXPECT_TRUE(link_->SendBytes(frame, 13));
    EXPECT_EQ(inner_->sentLengths, (std::vector<std::int32_t>{13, 13}));

    inner_->Receive("OK");
    inner_->PeerCloses();
    EXPECT_EQ(window_.messages,
              (std::vector<unsigned>{platform::WM_DEVICE_RECEIVE, platform::WM_DEVICE_CLOSE}));
    std::uint8_t chunk[4097] = {};
    std::int32_t length = 0;
    link_->CopyLastReceived(chunk, length);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(chunk)), "OK");
    link_->Close();
    EXPECT_EQ(inner_->closes, 1);

    EXPECT_TRUE(trace_.Connected());
    EXPECT_FALSE(trace_.Frames()[0].sendOk);
    EXPECT_TRUE(trace_.Frames()[1].sendOk);
    EXPECT_TRUE(trace_.PeerClosedAtMs().has_value());
    EXPECT_TRUE(trace_.ClosedAtMs().has_value());
}

TEST_F(AckTraceLinkTest, ReplyIsTimedWhenItsReceiveWasAnnouncedNotWhenItWasRead) {
    time_.now += 150;
    const std::uint8_t frame[13] = {};
    link_->SendBytes(frame, 13);
    time_.now += 7;
    inner_->Receive("OK");  // arrives 7 ms after the send
    time_.now += 140;       // ...but is read only at the next turn of the loop
    std::uint8_t chunk[4097] = {};
    std::int32_t length = 0;
    link_->CopyLastReceived(chunk, length);
    ASSERT_EQ(trace_.Frames().size(), 1u);
    const auto verdict = trace_.Judge(trace_.Frames()[0]);
    EXPECT_EQ(verdict.outcome, AckOutcome::kAcknowledged);
    EXPECT_EQ(verdict.delayMs, 7);
}

TEST_F(AckTraceLinkTest, ReadThatCopiedNothingIsNoReplyAndLeavesTheLengthAlone) {
    const std::uint8_t frame[13] = {};
    link_->SendBytes(frame, 13);
    inner_->Receive("");  // the peer closed: a read of 0 bytes
    std::uint8_t chunk[4097] = {};
    std::int32_t length = 0;
    link_->CopyLastReceived(chunk, length);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(trace_.Frames()[0].replies.empty());
    EXPECT_EQ(trace_.Judge(trace_.Frames()[0]).outcome, AckOutcome::kNone);
}

}  // namespace
