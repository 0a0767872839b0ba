#include "transfer/upload_sequencer.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/message_box.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using transfer::UploadSequencer;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Local time that advances only when told to.
class FakeClock : public transfer::Clock {
  public:
    FakeClock() {
        std::tm parts{};
        parts.tm_year = 2026 - 1900;
        parts.tm_mon = 5;
        parts.tm_mday = 15;
        parts.tm_hour = 12;
        parts.tm_isdst = -1;
        epochMs_ = static_cast<std::int64_t>(std::mktime(&parts)) * 1000;
    }
    platform::LocalTime Now() override {
        const std::time_t seconds = static_cast<std::time_t>(epochMs_ / 1000);
        std::tm parts{};
#ifdef _WIN32
        localtime_s(&parts, &seconds);
#else
        localtime_r(&seconds, &parts);
#endif
        platform::LocalTime now;
        now.year = static_cast<std::uint16_t>(parts.tm_year + 1900);
        now.month = static_cast<std::uint16_t>(parts.tm_mon + 1);
        now.day = static_cast<std::uint16_t>(parts.tm_mday);
        now.hour = static_cast<std::uint16_t>(parts.tm_hour);
        now.minute = static_cast<std::uint16_t>(parts.tm_min);
        now.second = static_cast<std::uint16_t>(parts.tm_sec);
        now.milliseconds = static_cast<std::uint16_t>(epochMs_ % 1000);
        return now;
    }
    void Advance(std::int64_t ms) {
        epochMs_ += ms;
    }
    std::int64_t EpochMs() const {
        return epochMs_;
    }

  private:
    std::int64_t epochMs_ = 0;
};

// What the device does with the frames it gets; state shared by every link of one test.
struct Device {
    enum class Answer { Always, Never, Custom };
    Answer answer = Answer::Always;
    std::vector<Bytes> customReplies;  // chunks sent as replies to every acknowledged frame

    bool createFails = false;
    bool connectFails = false;
    int failSendFromFrame = -1;  // index (over all links) of the first send that fails
    bool closedByPeer = false;   // every later send fails
    std::string errorText;       // the link's reason for a failure

    std::vector<Bytes> sent;
    std::string connectedAddress;
    int connectedPort = 0;
    int linksMade = 0;
    int linksClosed = 0;
    bool expectLength = false;  // after the magic: length frame, then data frame, ...
};

class FakeLink : public transfer::DeviceLink {
  public:
    explicit FakeLink(Device& device) : device_(device) {}
    ~FakeLink() override = default;

    bool Create(unsigned, int socketType, long eventMask, const char* address) override {
        EXPECT_EQ(socketType, 1);
        EXPECT_EQ(eventMask, 63);
        EXPECT_EQ(address, nullptr);
        return !device_.createFails;
    }
    void SetNotifyWindow(platform::MessageTarget* window) override { window_ = window; }
    bool Connect(const std::string& address, int port) override {
        device_.connectedAddress = address;
        device_.connectedPort = port;
        return !device_.connectFails;
    }
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override {
        const int index = static_cast<int>(device_.sent.size());
        device_.sent.emplace_back(data, data + length);
        if (device_.closedByPeer ||
            (device_.failSendFromFrame >= 0 && index >= device_.failSendFromFrame)) {
            return false;
        }
        // The magic and every data frame are acknowledged; length frames are not.
        const bool isMagic =
            index == 0 || (length == 13 && std::memcmp(data, "KXHTMLUPGRADE", 13) == 0);
        bool acknowledged = false;
        if (isMagic) {
            acknowledged = true;
            device_.expectLength = true;
        } else if (device_.expectLength) {
            device_.expectLength = false;
        } else {
            acknowledged = true;
            device_.expectLength = true;
        }
        if (acknowledged) {
            if (device_.answer == Device::Answer::Always) {
                Reply(ToBytes("OK"));
            } else if (device_.answer == Device::Answer::Custom) {
                for (const auto& chunk : device_.customReplies) {
                    Reply(chunk);
                }
            }
        }
        return true;
    }
    void CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) override {
        const auto& chunk = replies_.front();
        if (!chunk.empty() && chunk.size() < 4096) {
            std::memcpy(destination, chunk.data(), chunk.size());
            outLength = static_cast<std::int32_t>(chunk.size());
        }
        replies_.pop_front();
    }
    std::string LastErrorText() const override { return device_.errorText; }
    void Close() override {
        ++closeCalls_;
        if (closeCalls_ == 1) {
            ++device_.linksClosed;
        }
    }

    // The device's reply arrives: one receive notification per chunk.
    void Reply(const Bytes& chunk) {
        replies_.push_back(chunk);
        if (window_ != nullptr) {
            window_->PostMessage(platform::WM_DEVICE_RECEIVE, 0, 0);
        }
    }

  private:
    Device& device_;
    platform::MessageTarget* window_ = nullptr;
    std::deque<Bytes> replies_;  // one per pending receive notification
    int closeCalls_ = 0;
};

struct ShownMessage {
    std::string text;
    std::string caption;
    unsigned style = 0;
    bool operator==(const ShownMessage& other) const {
        return std::tie(text, caption, style) == std::tie(other.text, other.caption, other.style);
    }
};

class FakeHost : public transfer::SequencerHost, public platform::MessageTarget {
  public:
    explicit FakeHost(Device& device) : device_(device) {}

    void ExchangeFieldsToMembers() override { ++exchanges; }
    void ResetProgress() override { progress.push_back(0.0f); }
    void SetProgressPercent(float percent) override { progress.push_back(percent); }
    int BuildWebImage() override {
        if (!buildSucceeds) {
            messages.push_back({"web server path is empty!", "ERR", 16});
            return 0;
        }
        return 1;
    }
    const std::uint8_t* ImageBytes() const override { return image.data(); }
    std::int32_t ImageLength() const override { return static_cast<std::int32_t>(image.size()); }
    std::unique_ptr<transfer::DeviceLink> NewDeviceLink() override {
        ++device_.linksMade;
        auto link = std::make_unique<FakeLink>(device_);
        lastLink = link.get();
        return link;
    }
    platform::MessageTarget& Window() override { return *this; }
    std::string AddressText() override { return "127.0.0.1"; }
    int Port() override { return 8001; }
    void SetTimer(unsigned timerId, int periodMs) override {
        EXPECT_EQ(timerId, 1u);
        EXPECT_EQ(periodMs, expectedPeriodMs);
        timerRunning = true;
        ++timerStarts;
    }
    void KillTimer(unsigned timerId) override {
        EXPECT_EQ(timerId, 1u);
        timerRunning = false;
    }
    void MessageBox(const std::string& text, const std::string& caption, unsigned style) override {
        messages.push_back({text, caption, style});
    }
    std::string ApplicationName() override { return "vellumix"; }
    void PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) override {
        posted.push_back({message, wParam, lParam});
    }

    struct Posted {
        unsigned message;
        platform::WParam wParam;
        platform::LParam lParam;
    };

    Bytes image;
    bool buildSucceeds = true;
    bool timerRunning = false;
    int expectedPeriodMs = 150;
    int timerStarts = 0;
    int exchanges = 0;
    std::vector<float> progress;
    std::vector<ShownMessage> messages;
    std::deque<Posted> posted;
    FakeLink* lastLink = nullptr;

  private:
    Device& device_;
};

class UploadSequencerTest : public ::testing::Test {
  protected:
    UploadSequencerTest() : host(device), sequencer(host, clock) { host.image = MakeImage(2500); }

    static Bytes MakeImage(std::size_t size) {
        Bytes image(size);
        for (std::size_t i = 0; i < size; ++i) {
            image[i] = static_cast<std::uint8_t>(i * 7 + 3);
        }
        return image;
    }

    // Handles every posted message, as the window's loop would after a handler returns.
    void DeliverPosted() {
        while (!host.posted.empty()) {
            const auto message = host.posted.front();
            host.posted.pop_front();
            sequencer.HandleMessage(message.message, message.wParam, message.lParam);
        }
    }

    // One timer period passes; a running timer ticks.
    void Tick() {
        clock.Advance(150);
        if (host.timerRunning) {
            sequencer.OnTimer(1);
        }
        DeliverPosted();
    }

    // Ticks until a result message shows (at most `limit` ticks); returns the ticks taken.
    int TickUntilMessage(int limit = 2000) {
        const std::size_t before = host.messages.size();
        for (int tick = 1; tick <= limit; ++tick) {
            Tick();
            if (host.messages.size() > before) {
                return tick;
            }
        }
        return -1;
    }

    Device device;
    FakeClock clock;
    FakeHost host;
    UploadSequencer sequencer;
};

const ShownMessage kSuccess{"Web Server Update OK!", "vellumix", 0};
const ShownMessage kFailure{"Web Server Update ERROR!", "ERR", 16};

TEST_F(UploadSequencerTest, ImageOf2500BytesSucceedsInEightTicksWithFramePercentages) {
    sequencer.OnStart();
    ASSERT_TRUE(host.timerRunning);
    EXPECT_EQ(sequencer.TotalFrames(), 7);
    EXPECT_EQ(device.connectedAddress, "127.0.0.1");
    EXPECT_EQ(device.connectedPort, 8001);
    ASSERT_EQ(host.progress.size(), 1u);  // reset to 0 by Start

    const float expected[] = {14.29f, 28.57f, 42.86f, 57.14f, 71.43f, 85.71f, 100.0f};
    for (int tick = 0; tick < 7; ++tick) {
        Tick();
        ASSERT_EQ(host.progress.size(), static_cast<std::size_t>(tick + 2));
        EXPECT_NEAR(host.progress.back(), expected[tick], 0.01f) << "after tick " << tick + 1;
        EXPECT_TRUE(host.messages.empty());
    }
    Tick();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], kSuccess);
    EXPECT_FLOAT_EQ(host.progress.back(), 100.0f);
    EXPECT_FALSE(host.timerRunning);
    EXPECT_EQ(device.linksClosed, 1);
    EXPECT_EQ(sequencer.Link(), nullptr);

    // The wire saw exactly the frame sequence.
    ASSERT_EQ(device.sent.size(), 7u);
    EXPECT_EQ(device.sent[0], ToBytes("KXHTMLUPGRADE"));
    EXPECT_EQ(device.sent[1], (Bytes{0x00, 0x04}));
    EXPECT_EQ(device.sent[5], (Bytes{0xC4, 0x01}));
    EXPECT_EQ(device.sent[6], Bytes(host.image.begin() + 2048, host.image.end()));

    // Nothing more happens afterwards.
    for (int i = 0; i < 10; ++i) {
        Tick();
    }
    EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(UploadSequencerTest, PaceZeroSendsEachPairOnTheOkAloneWithTheSameFrames) {
    sequencer.SetPaceMs(0);
    sequencer.OnStart();  // the timer only watches the time-out, at the contract's period
    DeliverPosted();
    ASSERT_EQ(host.messages.size(), 1u) << "no tick may be needed";
    EXPECT_EQ(host.messages[0], kSuccess);
    ASSERT_EQ(device.sent.size(), 7u);
    EXPECT_EQ(device.sent[6], Bytes(host.image.begin() + 2048, host.image.end()));
    EXPECT_FLOAT_EQ(host.progress.back(), 100.0f);
}

TEST_F(UploadSequencerTest, PaceZeroStillWaitsForEachOkAndFailsASilentDevice) {
    device.answer = Device::Answer::Never;
    sequencer.SetPaceMs(0);
    sequencer.OnStart();
    ASSERT_EQ(device.sent.size(), 1u);  // the magic, then nothing before its answer
    ASSERT_GT(TickUntilMessage(), 0);
    EXPECT_GE(clock.EpochMs(), 3000);
    EXPECT_EQ(host.messages.back(), kFailure);
}

TEST_F(UploadSequencerTest, OtherPaceTicksAtItsPeriodCountedAgainFromEachSend) {
    host.expectedPeriodMs = 40;
    sequencer.SetPaceMs(40);
    sequencer.OnStart();
    EXPECT_TRUE(device.sent.empty()) << "a paced run waits for its first tick";
    EXPECT_EQ(TickUntilMessage(), 8);  // one frame a tick, as at the contract's pace
    EXPECT_EQ(host.messages.back(), kSuccess);
    EXPECT_EQ(host.timerStarts, 1 + 7) << "re-armed at each send";
}

TEST_F(UploadSequencerTest, SilentDeviceFailsBetweenTimeoutAndOnePeriodLater) {
    device.answer = Device::Answer::Never;
    sequencer.OnStart();
    Tick();  // magic sent
    const std::int64_t sentAt = clock.EpochMs();
    ASSERT_EQ(device.sent.size(), 1u);
    ASSERT_GT(TickUntilMessage(), 0);
    const std::int64_t waited = clock.EpochMs() - sentAt;
    EXPECT_GE(waited, 3000);
    EXPECT_LT(waited, 3000 + 150);
    EXPECT_EQ(host.messages.back(), kFailure);
    EXPECT_EQ(device.sent.size(), 1u);
    EXPECT_NEAR(host.progress.back(), 100.0f / 7.0f, 0.01f);  // share taken so far
    EXPECT_EQ(device.linksClosed, 1);
}

struct AckCase {
    const char* name;
    std::vector<Bytes> chunks;
    bool acknowledges;
};

void PrintTo(const AckCase& ackCase, std::ostream* out) {
    *out << ackCase.name;
}

class AckTextTest : public UploadSequencerTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AckTextTest, OnlyAChunkReadingOkInAnyCaseAcknowledges) {
    const AckCase& param = GetParam();
    device.answer = Device::Answer::Custom;
    device.customReplies = param.chunks;
    sequencer.OnStart();
    Tick();  // magic sent, replies delivered
    Tick();  // the next frame goes only if the magic was acknowledged
    EXPECT_EQ(device.sent.size(), param.acknowledges ? 2u : 1u) << param.name;
    EXPECT_EQ(sequencer.AwaitingAck(), !param.acknowledges);
}

Bytes FullChunk() {
    Bytes chunk(4096, 'x');
    chunk[0] = 'O';
    chunk[1] = 'K';
    chunk[2] = 0;
    return chunk;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AckTextTest,
    ::testing::Values(AckCase{"OK", {ToBytes("OK")}, true}, AckCase{"ok", {ToBytes("ok")}, true},
                      AckCase{"oK", {ToBytes("oK")}, true}, AckCase{"Ok", {ToBytes("Ok")}, true},
                      AckCase{"OK then zero and junk", {Bytes{'O', 'K', 0, 'x', 'y'}}, true},
                      AckCase{"OK CR LF", {ToBytes("OK\r\n")}, false},
                      AckCase{"space OK", {ToBytes(" OK")}, false},
                      AckCase{"OKOK", {ToBytes("OKOK")}, false},
                      AckCase{"split O K", {ToBytes("O"), ToBytes("K")}, false},
                      AckCase{"empty", {Bytes{}}, false},
                      AckCase{"full 4096-byte chunk", {FullChunk()}, false},
                      AckCase{"NO", {ToBytes("NO")}, false}),
    [](const ::testing::TestParamInfo<AckCase>& caseInfo) {
        std::string name;
        for (const char* c = caseInfo.param.name; *c != 0; ++c) {
            name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        }
        return name;
    });

TEST_F(UploadSequencerTest, OkWhileNothingIsAwaitedChangesNothing) {
    sequencer.OnStart();
    Tick();  // magic sent and acknowledged
    Tick();  // length frame sent: no acknowledgement due
    ASSERT_FALSE(sequencer.AwaitingAck());
    host.lastLink->Reply(ToBytes("OK"));
    DeliverPosted();
    EXPECT_FALSE(sequencer.AwaitingAck());
    EXPECT_EQ(device.sent.size(), 2u);
    EXPECT_GT(TickUntilMessage(), 0);
    EXPECT_EQ(host.messages.back(), kSuccess);
    EXPECT_EQ(device.sent.size(), 7u);
}

TEST_F(UploadSequencerTest, PeerCloseAfterLastOkStillSucceeds) {
    sequencer.OnStart();
    for (int i = 0; i < 7; ++i) {
        Tick();
    }
    device.closedByPeer = true;
    sequencer.OnDeviceClose(0, 0);
    Tick();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], kSuccess);
}

TEST_F(UploadSequencerTest, PeerCloseAfterMagicOkFailsAtNextSend) {
    sequencer.OnStart();
    Tick();
    device.closedByPeer = true;
    Tick();  // the first length frame cannot be sent
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], kFailure);
    EXPECT_FALSE(host.timerRunning);
    EXPECT_EQ(device.linksClosed, 1);
}

TEST_F(UploadSequencerTest, CreateAndConnectFailuresShowTheirMessageAndArmNoTimer) {
    device.createFails = true;
    sequencer.OnStart();
    EXPECT_EQ(host.messages.back(), (ShownMessage{"Socket Create ERROR!", "ERR", 16}));
    EXPECT_FALSE(host.timerRunning);

    device.createFails = false;
    device.connectFails = true;
    sequencer.OnStart();
    EXPECT_EQ(host.messages.back(), (ShownMessage{"Socket Connect ERROR!", "ERR", 16}));
    EXPECT_FALSE(host.timerRunning);
    EXPECT_EQ(device.linksClosed, 1);      // the uncreated one was replaced
    EXPECT_NE(sequencer.Link(), nullptr);  // the unconnected one stays until the next Start

    for (int i = 0; i < 50; ++i) {
        Tick();
    }
    EXPECT_EQ(host.messages.size(), 2u);
}

TEST_F(UploadSequencerTest, EachFailureRecordsItsCauseAndFrameBesideTheUnchangedMessage) {
    using Kind = transfer::FailureCause::Kind;
    const struct {
        Kind kind;
        int frame;  // of 7
        const char* systemError;
        const char* shown;
    } cases[] = {{Kind::kNone, 0, "", "Web Server Update OK!"},
                 {Kind::kBuild, 0, "", "web server path is empty!"},
                 {Kind::kCreate, 0, "Too many open files", "Socket Create ERROR!"},
                 {Kind::kConnect, 0, "Connection refused", "Socket Connect ERROR!"},
                 {Kind::kSend, 5, "Broken pipe", "Web Server Update ERROR!"},
                 {Kind::kNoAnswer, 1, "", "Web Server Update ERROR!"},
                 {Kind::kWrongReply, 1, "", "Web Server Update ERROR!"}};
    for (const auto& c : cases) {
        device = Device{};
        device.errorText = c.systemError;
        device.createFails = c.kind == Kind::kCreate;
        device.connectFails = c.kind == Kind::kConnect;
        device.failSendFromFrame = c.kind == Kind::kSend ? c.frame - 1 : -1;
        device.answer = c.kind == Kind::kNoAnswer     ? Device::Answer::Never
                        : c.kind == Kind::kWrongReply ? Device::Answer::Custom
                                                      : Device::Answer::Always;
        device.customReplies = {ToBytes("O"), ToBytes("K")};  // named by the first chunk
        host.buildSucceeds = c.kind != Kind::kBuild;
        host.messages.clear();
        sequencer.SetAckTimeoutMs(c.kind == Kind::kNoAnswer ? 5000 : 0);
        sequencer.OnStart();
        if (host.messages.empty()) {
            ASSERT_GT(TickUntilMessage(), 0);
        }
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0].text, c.shown);
        const transfer::FailureCause& cause = sequencer.LastFailure();
        const bool wrong = c.kind == Kind::kWrongReply;
        EXPECT_EQ(cause, (transfer::FailureCause{c.kind, c.frame, c.frame > 0 ? 7 : 0,
                                                 cause.waitedMs, cause.timeoutMs, c.systemError,
                                                 wrong ? Bytes{'O'} : Bytes{}, wrong ? 1 : 0}));
        if (c.kind == Kind::kNoAnswer) {  // the longer time-out is waited for, no more
            EXPECT_EQ(cause.timeoutMs, 5000u);
            EXPECT_TRUE(cause.waitedMs >= 5000u && cause.waitedMs < 5150u) << cause.waitedMs;
        }
    }
}

TEST(DescribeFailureTest, NamesTheTargetOrTheFrameAndTheReason) {
    using Kind = transfer::FailureCause::Kind;
    const Bytes cut(32, 'K');
    const std::pair<transfer::FailureCause, const char*> cases[] = {
        {{Kind::kNone, 0, 0, 0, 0, "", {}, 0}, ""},
        {{Kind::kBuild, 0, 0, 0, 0, "", {}, 0}, ""},
        {{Kind::kCreate, 0, 0, 0, 0, "Too many open files", {}, 0},
         "127.0.0.1:8001: socket: Too many open files"},
        {{Kind::kConnect, 0, 0, 0, 0, "Connection refused", {}, 0},
         "127.0.0.1:8001: connect: Connection refused"},
        {{Kind::kConnect, 0, 0, 0, 0, "", {}, 0}, "127.0.0.1:8001: connect: unknown error"},
        {{Kind::kSend, 4, 13, 0, 0, "Broken pipe", {}, 0}, "frame 4 of 13: send: Broken pipe"},
        {{Kind::kNoAnswer, 5, 13, 3012, 3000, "", {}, 0},
         "frame 5 of 13: no answer within 3000 ms"},
        // A reply that is not exactly OK is named, escaped, never "no answer".
        {{Kind::kWrongReply, 1, 13, 3012, 3000, "", ToBytes("OK\r\n"), 4},
         "frame 1 of 13: the device answered \"OK\\r\\n\" (not OK)"},
        {{Kind::kWrongReply, 3, 13, 3012, 3000, "", cut, 4095},
         "frame 3 of 13: the device answered \"KKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKK\"... (4095 bytes, "
         "not OK)"},
    };
    for (const auto& [cause, text] : cases) {
        EXPECT_EQ(transfer::DescribeFailure(cause, "127.0.0.1:8001"), text);
    }
}

TEST_F(UploadSequencerTest, FailedBuildStopsBeforeConnecting) {
    host.buildSucceeds = false;
    sequencer.OnStart();
    EXPECT_EQ(device.linksMade, 0);
    EXPECT_FALSE(host.timerRunning);
    EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(UploadSequencerTest, StartDuringRunReplacesItWithOneResult) {
    sequencer.OnStart();
    Tick();
    Tick();
    Tick();
    sequencer.OnStart();
    EXPECT_EQ(device.linksClosed, 1);
    EXPECT_EQ(device.linksMade, 2);
    EXPECT_EQ(sequencer.TotalFrames(), 7);
    EXPECT_EQ(sequencer.Frames().Size(), 7);
    device.sent.clear();
    ASSERT_GT(TickUntilMessage(), 0);
    EXPECT_EQ(device.sent.front(), ToBytes("KXHTMLUPGRADE"));
    EXPECT_EQ(device.sent.size(), 7u);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], kSuccess);
}

// A Start that stops early used to leave the earlier run's timer over an emptied queue, whose
// next tick reported success for an upload that never finished.
TEST_F(UploadSequencerTest, StartThatStopsEarlyNeverReportsTheAbandonedRunAsSuccess) {
    for (const bool failBuild : {true, false}) {
        SCOPED_TRACE(failBuild ? "build fails" : "connect fails");
        host.messages.clear();
        device = Device{};
        host.buildSucceeds = true;
        sequencer.OnStart();
        Tick();
        Tick();
        host.buildSucceeds = !failBuild;
        device.connectFails = !failBuild;
        sequencer.OnStart();
        EXPECT_FALSE(host.timerRunning);
        EXPECT_FALSE(sequencer.RunInProgress());
        for (int i = 0; i < 40; ++i) {
            Tick();
        }
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_NE(host.messages[0], kSuccess);
        EXPECT_NE(host.messages[0], kFailure);
    }
}

TEST_F(UploadSequencerTest, CompletionPostedBeforeAReplacingStartIsIgnored) {
    sequencer.OnStart();
    for (int i = 0; i < 7; ++i) {
        Tick();
    }
    clock.Advance(150);
    sequencer.OnTimer(1);  // queue empty: success posted, not yet handled
    ASSERT_EQ(host.posted.size(), 1u);
    sequencer.OnStart();  // replaces the finishing run
    DeliverPosted();
    EXPECT_TRUE(host.messages.empty());
    EXPECT_NE(sequencer.Link(), nullptr);  // the new run's connection is untouched
    ASSERT_GT(TickUntilMessage(), 0);
    EXPECT_EQ(host.messages, (std::vector<ShownMessage>{kSuccess}));
}

TEST_F(UploadSequencerTest, WindowClosedDuringRunClosesQuietly) {
    sequencer.OnStart();
    Tick();
    Tick();
    sequencer.OnDestroy();
    EXPECT_EQ(device.linksClosed, 1);
    EXPECT_EQ(sequencer.Frames().Size(), 0);
    EXPECT_FALSE(host.timerRunning);
    DeliverPosted();
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(UploadSequencerTest, ClockSetBackAMinuteCountsAsLate) {
    device.answer = Device::Answer::Never;
    sequencer.OnStart();
    Tick();
    clock.Advance(-60000);
    Tick();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], kFailure);
}

TEST_F(UploadSequencerTest, ClockSetBackIntoEarlierYearWaitsForTheAnswer) {
    device.answer = Device::Answer::Never;
    sequencer.OnStart();
    Tick();
    clock.Advance(-400LL * 24 * 3600 * 1000);
    for (int i = 0; i < 100; ++i) {
        Tick();
    }
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.timerRunning);
    device.answer = Device::Answer::Always;
    host.lastLink->Reply(ToBytes("OK"));
    DeliverPosted();
    ASSERT_GT(TickUntilMessage(), 0);
    EXPECT_EQ(host.messages.back(), kSuccess);
}

platform::LocalTime At(int year, int month, int day, int hour, int minute, int second, int ms) {
    platform::LocalTime time;
    time.year = static_cast<std::uint16_t>(year);
    time.month = static_cast<std::uint16_t>(month);
    time.day = static_cast<std::uint16_t>(day);
    time.hour = static_cast<std::uint16_t>(hour);
    time.minute = static_cast<std::uint16_t>(minute);
    time.second = static_cast<std::uint16_t>(second);
    time.milliseconds = static_cast<std::uint16_t>(ms);
    return time;
}

TEST(ElapsedMs, FollowsTheYearRulesAndCalendarDifference) {
    struct Case {
        const char* name;
        platform::LocalTime now;
        platform::LocalTime then;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"same second", At(2026, 6, 1, 10, 0, 5, 900), At(2026, 6, 1, 10, 0, 5, 100), 800},
        {"millisecond borrow", At(2026, 6, 1, 10, 0, 6, 100), At(2026, 6, 1, 10, 0, 5, 900), 200},
        {"a day later", At(2026, 6, 2, 10, 0, 5, 900), At(2026, 6, 1, 10, 0, 5, 900), 86400000},
        {"new year", At(2027, 1, 1, 0, 0, 1, 0), At(2026, 12, 31, 23, 59, 59, 500), 1500},
        {"two years later", At(2028, 1, 1, 0, 0, 0, 0), At(2026, 12, 31, 23, 59, 59, 0),
         0xFFFFFFFFu},
        {"earlier year", At(2025, 12, 31, 0, 0, 0, 0), At(2026, 1, 1, 0, 0, 0, 0), 0},
        {"a minute back", At(2026, 6, 1, 10, 0, 0, 0), At(2026, 6, 1, 10, 1, 0, 0),
         static_cast<std::uint32_t>(-60000)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(transfer::ElapsedMs(c.now, c.then), c.expected) << c.name;
    }
}

}  // namespace
