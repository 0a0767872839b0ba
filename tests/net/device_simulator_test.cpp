#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QObject>

#include <gtest/gtest.h>
#include "support/loopback_socket.h"
#include "support/skip_on_windows.h"

#include "net/device_simulator.h"
#include "net/net_test_support.h"
#include "packer/image_reader.h"

namespace {

using net::DeviceSimulator;
using net::DeviceSimulatorOptions;
using net_testing::WaitUntil;

constexpr int kClientTimeoutMs = 3000;
constexpr int kSilenceMs = 300;  // how long "no answer" is watched for

// An image with one file `name` of `contentSize` bytes in a directory of two entries.
std::string ValidImage(std::size_t contentSize, const std::string& name = "/index.html") {
    std::string image(64, '\0');
    std::memcpy(image.data(), name.data(), name.size());
    auto put32 = [&](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            image[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    put32(24, 64);
    put32(28, static_cast<std::uint32_t>(contentSize));
    for (std::size_t i = 0; i < contentSize; ++i) {
        image.push_back(static_cast<char>('a' + i % 26));
    }
    return image;
}

std::string LengthFrame(std::size_t length) {
    return {static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
}

bool SendAll(int descriptor, const std::string& bytes) {
    return testing_support::SendAllBytes(descriptor, bytes);
}

// The tool's side, as a blocking client on its own thread: each step waits for the answer.
struct UploadClient {
    explicit UploadClient(int port) : descriptor(net_testing::ConnectLoopback(port)) {}
    ~UploadClient() { Close(); }

    std::string SendFrame(const std::string& frame, std::size_t answerLength = 2,
                          int timeoutMs = kClientTimeoutMs) {
        if (!SendAll(descriptor, frame)) {
            return "<send failed>";
        }
        return net_testing::ReadBytes(descriptor, answerLength, timeoutMs);
    }
    // Sends the whole image, block by block; the answers in order.
    std::vector<std::string> Upload(const std::string& image) {
        std::vector<std::string> answers{SendFrame("KXHTMLUPGRADE")};
        for (std::size_t offset = 0; offset < image.size(); offset += 1024) {
            const std::string block = image.substr(offset, 1024);
            if (!SendAll(descriptor, LengthFrame(block.size()))) {
                break;
            }
            answers.push_back(SendFrame(block));
        }
        return answers;
    }
    void Close() {
        if (descriptor >= 0) {
            net_testing::CloseSocket(descriptor);
            descriptor = -1;
        }
    }
    int descriptor = -1;
};

// A simulator on a free loopback port that records what it says and how uploads end.
class SimulatorHarness {
  public:
    explicit SimulatorHarness(DeviceSimulatorOptions options = {})
        : simulator_(WithFreePort(std::move(options))) {
        QObject::connect(&simulator_, &DeviceSimulator::Message,
                         [this](const QString& line) { messages_.push_back(line.toStdString()); });
        QObject::connect(&simulator_, &DeviceSimulator::UploadFinished, [this](bool ok) {
            ++finished_;
            lastOk_ = ok;
        });
        std::string error;
        started_ = simulator_.Start(error);
        EXPECT_TRUE(started_) << error;
    }

    int Port() const { return simulator_.Port(); }
    const DeviceSimulator& Simulator() const { return simulator_; }
    const net::DeviceUploadResult& Result() const { return simulator_.LastResult(); }
    bool LastOk() const { return lastOk_; }
    int Finished() const { return finished_; }

    // Runs `client` on a thread of its own while this thread serves the simulator; then waits
    // for the upload to be reported.
    bool Run(const std::function<void()>& client) {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            client();
            done = true;
        });
        WaitUntil([&] { return done.load(); }, 4 * kClientTimeoutMs);
        thread.join();
        return WaitUntil([&] { return finished_ > 0; });
    }

    bool Said(const std::string& text) const {
        for (const auto& line : messages_) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::string Transcript() const {
        std::string all;
        for (const auto& line : messages_) {
            all += line + "\n";
        }
        return all;
    }

  private:
    static DeviceSimulatorOptions WithFreePort(DeviceSimulatorOptions options) {
        options.port = 0;
        return options;
    }

    DeviceSimulator simulator_;
    std::vector<std::string> messages_;
    bool started_ = false;
    int finished_ = 0;
    bool lastOk_ = false;
};

TEST(DeviceSimulatorTest, GoodUploadIsReassembledValidatedAndListed) {
    SimulatorHarness harness;
    const std::string image = ValidImage(2500 - 64);
    std::vector<std::string> answers;
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        answers = client.Upload(image);
    }));

    EXPECT_EQ(answers, std::vector<std::string>(4, "OK"));
    EXPECT_TRUE(harness.LastOk()) << harness.Result().error;
    EXPECT_EQ(std::string(harness.Result().image.begin(), harness.Result().image.end()), image);
    ASSERT_EQ(harness.Result().directory.entries.size(), 1u);
    EXPECT_EQ(harness.Result().directory.entries[0].name, "/index.html");
    for (const char* line :
         {"connection from 127.0.0.1:", "magic ok", "block 1: 1024 bytes", "block 3: 452 bytes",
          "upload complete: 2500 bytes, 1 files", "/index.html"}) {
        EXPECT_TRUE(harness.Said(line)) << line << "\n" << harness.Transcript();
    }
    EXPECT_FALSE(harness.Simulator().UploadInProgress());
}

// A crafted name could forge lines or send escape sequences to the simulator's terminal.
TEST(DeviceSimulatorTest, ListedNamesHaveTheirControlCharactersEscaped) {
    SimulatorHarness harness;
    const std::string image = ValidImage(100, "/a\nb\x1b[2J");
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        client.Upload(image);
    }));
    ASSERT_TRUE(harness.LastOk()) << harness.Result().error;
    EXPECT_TRUE(harness.Said("  /a\\nb\\x1b[2J  100 bytes")) << harness.Transcript();
}

TEST(DeviceSimulatorTest, NoAnswerAfterFrameKLeavesTheClientWaiting) {
    const std::string image = ValidImage(1500);
    struct Case {
        int frame;
        std::size_t answered;  // answers the client gets before the silence
        const char* error;
    };
    const Case cases[] = {{0, 0, "before the answer to the magic frame was sent"},
                          {2, 2, "before the answer to block 2 was sent"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        DeviceSimulatorOptions options;
        options.noAnswerAfter = c.frame;
        SimulatorHarness harness(options);
        std::vector<std::string> answers;
        ASSERT_TRUE(harness.Run([&] {
            UploadClient client(harness.Port());
            answers.push_back(client.SendFrame("KXHTMLUPGRADE", 2, kSilenceMs));
            for (int block = 1; block <= c.frame; ++block) {
                SendAll(client.descriptor, LengthFrame(block == 1 ? 1024 : 1564 - 1024));
                answers.push_back(client.SendFrame(
                    image.substr(static_cast<std::size_t>(block - 1) * 1024, 1024), 2, kSilenceMs));
            }
        }));
        ASSERT_EQ(answers.size(), c.answered + 1);
        for (std::size_t i = 0; i < c.answered; ++i) {
            EXPECT_EQ(answers[i], "OK");
        }
        EXPECT_EQ(answers.back(), "") << "frame " << c.frame << " must stay unanswered";
        EXPECT_FALSE(harness.LastOk());
        EXPECT_NE(harness.Result().error.find(c.error), std::string::npos)
            << harness.Result().error;
    }
}

TEST(DeviceSimulatorTest, DelayedAnswerComesLate) {
    DeviceSimulatorOptions options;
    options.delayMs = 300;
    SimulatorHarness harness(options);
    std::string answer;
    qint64 waited = 0;
    harness.Run([&] {
        UploadClient client(harness.Port());
        QElapsedTimer timer;
        timer.start();
        answer = client.SendFrame("KXHTMLUPGRADE");
        waited = timer.elapsed();
    });
    EXPECT_EQ(answer, "OK");
    EXPECT_GE(waited, 250);
}

TEST(DeviceSimulatorTest, AnswerTextIsSentAsGivenAndBlocksStillFollow) {
    DeviceSimulatorOptions options;
    options.answer = "OK\r\n";
    SimulatorHarness harness(options);
    std::vector<std::string> answers;
    const std::string image = ValidImage(100);
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        answers.push_back(client.SendFrame("KXHTMLUPGRADE", 4));
        SendAll(client.descriptor, LengthFrame(image.size()));
        answers.push_back(client.SendFrame(image, 4));
    }));
    EXPECT_EQ(answers, (std::vector<std::string>{"OK\r\n", "OK\r\n"}));
    EXPECT_TRUE(harness.LastOk()) << harness.Result().error;
}

TEST(DeviceSimulatorTest, SplitAnswerArrivesInTwoPieces) {
    DeviceSimulatorOptions options;
    options.splitAnswer = true;
    SimulatorHarness harness(options);
    std::string first;
    std::string second;
    harness.Run([&] {
        UploadClient client(harness.Port());
        SendAll(client.descriptor, "KXHTMLUPGRADE");
        if (net_testing::WaitReadable(client.descriptor, kClientTimeoutMs)) {
            first = net_testing::ReadAvailable(client.descriptor);
        }
        second = net_testing::ReadBytes(client.descriptor, 1, kClientTimeoutMs);
    });
    EXPECT_EQ(first, "O");
    EXPECT_EQ(second, "K");
}

TEST(DeviceSimulatorTest, CloseAfterFrameKEndsTheConnectionOnceKIsAnswered) {
    const std::string image = ValidImage(2000 - 64);  // 2 blocks
    struct Case {
        int frame;
        bool imageComplete;
        const char* outcome;
    };
    const Case cases[] = {{0, false, "no block arrived after the magic frame"},
                          {2, true, "upload complete"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frame);
        DeviceSimulatorOptions options;
        options.closeAfter = c.frame;
        SimulatorHarness harness(options);
        std::vector<std::string> answers;
        bool ended = false;
        ASSERT_TRUE(harness.Run([&] {
            UploadClient client(harness.Port());
            answers.push_back(client.SendFrame("KXHTMLUPGRADE"));
            for (int block = 1; block <= c.frame; ++block) {
                const std::string data =
                    image.substr(static_cast<std::size_t>(block - 1) * 1024, 1024);
                SendAll(client.descriptor, LengthFrame(data.size()));
                answers.push_back(client.SendFrame(data));
            }
            ended = net_testing::SeesEnd(client.descriptor, kClientTimeoutMs);
        }));
        EXPECT_EQ(answers, std::vector<std::string>(static_cast<std::size_t>(c.frame) + 1, "OK"));
        EXPECT_TRUE(ended);
        EXPECT_EQ(harness.LastOk(), c.imageComplete) << harness.Result().error;
        EXPECT_TRUE(harness.Said(c.outcome)) << harness.Transcript();
    }
}

TEST(DeviceSimulatorTest, ResetAfterFrameKResetsTheConnection) {
    VELLUMIX_SKIP_ON_WINDOWS(net_testing::kNoResetsUnderWine);
    DeviceSimulatorOptions options;
    options.resetAfter = 1;
    SimulatorHarness harness(options);
    const std::string image = ValidImage(2000);
    std::string answer;
    bool reset = false;
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        client.SendFrame("KXHTMLUPGRADE");
        SendAll(client.descriptor, LengthFrame(1024));
        answer = client.SendFrame(image.substr(0, 1024));
        if (net_testing::WaitReadable(client.descriptor, kClientTimeoutMs)) {
            char byte = 0;
            if (testing_support::RecvBytes(client.descriptor, &byte, 1) < 0) {
                reset = testing_support::LastErrorIsReset();
            }
        }
    }));
    EXPECT_EQ(answer, "OK");
    EXPECT_TRUE(reset);
    EXPECT_FALSE(harness.LastOk()) << "one block of two is not an image";
    EXPECT_TRUE(harness.Said("resetting the connection after block 1")) << harness.Transcript();
}

TEST(DeviceSimulatorTest, StreamViolationsAreReportedAndDropTheConnection) {
    const std::string magic = "KXHTMLUPGRADE";
    struct Case {
        const char* what;
        std::string answered;  // sent first, its "OK" awaited (may be empty)
        std::string broken;    // then this
        const char* error;
    };
    const Case cases[] = {
        {"bad magic", "", "KXHTMLUPGRADX", "bad magic: byte 13 of 13"},
        {"length 0", magic, LengthFrame(0), "block 1: bad length 0"},
        {"length 1025", magic, LengthFrame(1025), "block 1: bad length 1025"},
        {"length frame before the magic was answered", "", magic + LengthFrame(10),
         "before the answer to the magic frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimulatorHarness harness;
        std::string answer = "OK";
        bool ended = false;
        ASSERT_TRUE(harness.Run([&] {
            UploadClient client(harness.Port());
            if (!c.answered.empty()) {
                answer = client.SendFrame(c.answered);
            }
            SendAll(client.descriptor, c.broken);
            ended = net_testing::SeesEnd(client.descriptor, kClientTimeoutMs);
        }));
        EXPECT_EQ(answer, "OK");
        EXPECT_TRUE(ended);
        EXPECT_FALSE(harness.LastOk());
        EXPECT_NE(harness.Result().error.find(c.error), std::string::npos)
            << harness.Result().error;
        EXPECT_TRUE(harness.Said("violation: ")) << harness.Transcript();
    }
}

// Firmware that needs a gap between frames, or takes each read as one frame: frames sent too
// close, or in one write, are refused naming the frame; frames sent apart are taken.
TEST(DeviceSimulatorTest, FirmwareModelsRefuseFramesTooCloseOrInOneReadNamingTheFrame) {
    const std::string image = ValidImage(100);
    struct Case {
        int minGapMs;
        bool oneFramePerRead;
        int gapMs;  // before the length frame and before the data frame; -1: both in one write
        const char* error;  // empty: the upload is taken
    };
    const Case cases[] = {
        {0, true, -1, "the data frame of block 1 came in the same read as the frame before it"},
        {0, true, 150, ""},
        {100, false, 0, "the length frame of block 1 came "},
        {100, true, 200, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.minGapMs) + " " + std::to_string(c.gapMs));
        DeviceSimulatorOptions options;
        options.minGapMs = c.minGapMs;
        options.oneFramePerRead = c.oneFramePerRead;
        SimulatorHarness harness(options);
        ASSERT_TRUE(harness.Run([&] {
            UploadClient client(harness.Port());
            client.SendFrame("KXHTMLUPGRADE");
            if (c.gapMs < 0) {
                client.SendFrame(LengthFrame(image.size()) + image);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
            SendAll(client.descriptor, LengthFrame(image.size()));
            std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
            client.SendFrame(image);
        }));
        EXPECT_EQ(harness.LastOk(), *c.error == '\0') << harness.Transcript();
        EXPECT_NE(harness.Result().error.find(c.error), std::string::npos)
            << harness.Result().error;
        EXPECT_EQ(harness.Said("rejected: "), *c.error != '\0') << harness.Transcript();
    }
}

TEST(DeviceSimulatorTest, CompleteStreamWithAMalformedImageFails) {
    SimulatorHarness harness;
    const std::string garbage(100, '\xEE');
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        client.SendFrame("KXHTMLUPGRADE");
        SendAll(client.descriptor, LengthFrame(garbage.size()));
        client.SendFrame(garbage);
    }));
    EXPECT_FALSE(harness.LastOk());
    EXPECT_NE(harness.Result().error.find("the image is malformed"), std::string::npos)
        << harness.Result().error;
    EXPECT_EQ(harness.Result().image.size(), garbage.size());
}

TEST(DeviceSimulatorTest, SecondConnectionDuringAnUploadIsRefused) {
    SimulatorHarness harness;
    const std::string image = ValidImage(500);
    bool secondRefused = false;
    std::vector<std::string> answers;
    ASSERT_TRUE(harness.Run([&] {
        UploadClient first(harness.Port());
        answers.push_back(first.SendFrame("KXHTMLUPGRADE"));
        UploadClient second(harness.Port());
        secondRefused = net_testing::SeesEnd(second.descriptor, kClientTimeoutMs);
        SendAll(first.descriptor, LengthFrame(image.size()));
        answers.push_back(first.SendFrame(image));
    }));
    EXPECT_TRUE(secondRefused);
    EXPECT_EQ(answers, (std::vector<std::string>{"OK", "OK"}));
    EXPECT_TRUE(harness.LastOk()) << harness.Result().error;
    EXPECT_TRUE(harness.Said("refused connection from 127.0.0.1:")) << harness.Transcript();
}

// Start pressed again during a run: the old connection closes and the new one arrives before
// the simulator has handled that close. The new one was refused as if an upload were going on.
TEST(DeviceSimulatorTest, ConnectionRightAfterTheLastClientClosedFinishesThatUploadAndIsTaken) {
    SimulatorHarness harness;
    const std::string image = ValidImage(500);
    UploadClient first(harness.Port());
    ASSERT_TRUE(WaitUntil([&] { return harness.Said("connection from"); }));
    ASSERT_TRUE(SendAll(first.descriptor, "KXHTMLUPGRADE"));
    first.Close();
    UploadClient second(harness.Port());  // no event handled in between
    std::vector<std::string> answers;
    ASSERT_TRUE(harness.Run([&] {
        answers = second.Upload(image);
        second.Close();
    }));
    ASSERT_TRUE(WaitUntil([&] { return harness.Finished() == 2; })) << harness.Transcript();
    EXPECT_EQ(answers, (std::vector<std::string>{"OK", "OK"}));
    EXPECT_TRUE(harness.LastOk()) << harness.Result().error;
    EXPECT_FALSE(harness.Said("refused")) << harness.Transcript();
}

TEST(DeviceSimulatorTest, ClientResetMidUploadEndsItWithFailure) {
    VELLUMIX_SKIP_ON_WINDOWS(net_testing::kNoResetsUnderWine);
    SimulatorHarness harness;
    const std::string image = ValidImage(2000);
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        client.SendFrame("KXHTMLUPGRADE");
        SendAll(client.descriptor, LengthFrame(1024) + image.substr(0, 100));
        net_testing::ResetAndClose(client.descriptor);
        client.descriptor = -1;
    }));
    EXPECT_FALSE(harness.LastOk());
    EXPECT_NE(harness.Result().error.find("after 100 of 1024 bytes of block 1"), std::string::npos)
        << harness.Result().error;
    EXPECT_FALSE(harness.Simulator().UploadInProgress());
}

TEST(DeviceSimulatorTest, SilentClientIsDroppedAfterTheIdleTime) {
    DeviceSimulatorOptions options;
    options.idleTimeoutMs = 200;
    SimulatorHarness harness(options);
    bool ended = false;
    ASSERT_TRUE(harness.Run([&] {
        UploadClient client(harness.Port());
        ended = net_testing::SeesEnd(client.descriptor, kClientTimeoutMs);
    }));
    EXPECT_TRUE(ended);
    EXPECT_NE(harness.Result().error.find(" for 200 ms, connection dropped"), std::string::npos)
        << harness.Result().error;
}

TEST(DeviceSimulatorTest, StartFailsOnABadAddressOrATakenPort) {
    SimulatorHarness running;
    struct Case {
        const char* what;
        const char* address;
        int port;
        const char* error;
    };
    const Case cases[] = {
        {"not an address", "127.0.0.999", 0,
         "not an IPv4 address: 127.0.0.999 (field 999 is above"},
        {"octal or shorthand", "127.1", 0, "not an IPv4 address: 127.1 (2 fields, not 4"},
        {"port taken", "127.0.0.1", running.Port(), "cannot listen on 127.0.0.1:"},
        {"port out of range", "127.0.0.1", 70000, "bad port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceSimulatorOptions options;
        options.listenAddresses = {c.address};
        options.port = c.port;
        DeviceSimulator simulator(options);
        std::string error;
        EXPECT_FALSE(simulator.Start(error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(DecodeCEscapesTest, DecodesAnswerTexts) {
    struct Case {
        const char* text;
        std::optional<QByteArray> decoded;
    };
    const Case cases[] = {
        {"OK", QByteArray("OK")},
        {R"(OK\r\n)", QByteArray("OK\r\n")},
        {R"(\x4f\x4B)", QByteArray("OK")},
        {R"(O\0K)", QByteArray("O\0K", 3)},
        {R"(a\\b\t)", QByteArray("a\\b\t")},
        {R"(\x)", std::nullopt},
        {R"(\q)", std::nullopt},
        {"trailing\\", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(net::DecodeCEscapes(c.text), c.decoded);
    }
}

}  // namespace
