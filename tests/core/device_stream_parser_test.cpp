#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "transfer/device_stream_parser.h"

namespace {

using transfer::DeviceStreamParser;
using Frame = DeviceStreamParser::Frame;
using Bytes = std::vector<std::uint8_t>;

Bytes Image(std::size_t length) {
    Bytes image(length);
    for (std::size_t i = 0; i < length; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    return image;
}

Bytes Magic() {
    const std::string magic = "KXHTMLUPGRADE";
    return Bytes(magic.begin(), magic.end());
}

void AppendBlock(Bytes& stream, const std::uint8_t* data, int length) {
    stream.push_back(static_cast<std::uint8_t>(length & 0xFF));
    stream.push_back(static_cast<std::uint8_t>(length >> 8));
    stream.insert(stream.end(), data, data + length);
}

// The byte stream the tool sends for an image: magic, then length + data per 1024-byte block.
Bytes StreamFor(const Bytes& image) {
    Bytes stream = Magic();
    for (std::size_t offset = 0; offset < image.size(); offset += 1024) {
        const auto length = static_cast<int>(std::min<std::size_t>(1024, image.size() - offset));
        AppendBlock(stream, image.data() + offset, length);
    }
    return stream;
}

struct FeedRun {
    bool violation = false;
    int answers = 0;
    std::vector<Frame> answered;
};

// Feeds `stream` in pieces of `chunk` bytes, acknowledging each due answer at once, as the
// device does. Stops at a violation.
FeedRun FeedInChunks(DeviceStreamParser& parser, const Bytes& stream, std::size_t chunk) {
    FeedRun run;
    std::size_t offset = 0;
    while (offset < stream.size()) {
        const std::size_t length = std::min(chunk, stream.size() - offset);
        std::size_t used = 0;
        while (used < length) {
            const auto result = parser.Feed(stream.data() + offset + used, length - used);
            used += result.consumed;
            if (result.violation) {
                run.violation = true;
                return run;
            }
            if (result.answerDue != Frame::kNone) {
                run.answered.push_back(result.answerDue);
                ++run.answers;
                parser.Acknowledge();
            }
        }
        offset += length;
    }
    return run;
}

TEST(DeviceStreamParserTest, ReassemblesGoodStreamsInAnyChunking) {
    const std::size_t lengths[] = {1, 452, 1023, 1024, 1025, 2048, 2500, 196608};
    const std::size_t chunks[] = {1, 2, 3, 13, 14, 1024, 1026, 1u << 20};
    for (std::size_t length : lengths) {
        const Bytes image = Image(length);
        const Bytes stream = StreamFor(image);
        const int blocks = static_cast<int>((length + 1023) / 1024);
        for (std::size_t chunk : chunks) {
            SCOPED_TRACE("image " + std::to_string(length) + ", chunk " + std::to_string(chunk));
            DeviceStreamParser parser;
            const FeedRun run = FeedInChunks(parser, stream, chunk);
            ASSERT_FALSE(run.violation) << parser.Error();
            EXPECT_EQ(run.answers, 1 + blocks);
            EXPECT_EQ(run.answered.front(), Frame::kMagicFrame);
            EXPECT_EQ(run.answered.back(), Frame::kDataFrame);
            EXPECT_TRUE(parser.Finish());
            EXPECT_TRUE(parser.Complete());
            EXPECT_EQ(parser.BlocksReceived(), blocks);
            EXPECT_EQ(parser.Image(), image);
        }
    }
}

TEST(DeviceStreamParserTest, LastBlockLengthFollowsTheLengthFrame) {
    DeviceStreamParser parser;
    const FeedRun run = FeedInChunks(parser, StreamFor(Image(2500)), 7);
    ASSERT_FALSE(run.violation);
    EXPECT_EQ(parser.LastBlockLength(), 452);
}

TEST(DeviceStreamParserTest, StopsRightAfterAFrameThatNeedsAnAnswer) {
    Bytes stream = Magic();
    const Bytes block = Image(5);
    AppendBlock(stream, block.data(), 5);
    DeviceStreamParser parser;

    auto result = parser.Feed(stream.data(), stream.size());
    EXPECT_EQ(result.consumed, 13u);
    EXPECT_EQ(result.answerDue, Frame::kMagicFrame);
    EXPECT_TRUE(parser.AnswerDue());

    // What follows before the answer is a violation: the tool waits for "OK".
    result = parser.Feed(stream.data() + 13, stream.size() - 13);
    EXPECT_TRUE(result.violation);
    EXPECT_EQ(result.consumed, 0u);
    EXPECT_NE(parser.Error().find("before the answer to the magic frame"), std::string::npos)
        << parser.Error();
}

TEST(DeviceStreamParserTest, RejectsBrokenStreams) {
    const Bytes good = StreamFor(Image(1500));
    struct Case {
        const char* what;
        Bytes stream;
        const char* error;
    };
    auto with = [](Bytes stream, std::size_t at, std::uint8_t value) {
        stream[at] = value;
        return stream;
    };
    Bytes tooLong = Magic();
    tooLong.push_back(0x01);
    tooLong.push_back(0x04);  // 1025
    Bytes empty = Magic();
    empty.push_back(0x00);
    empty.push_back(0x00);
    Bytes early = Magic();  // fine until the second block starts before the first is answered
    const Bytes data = Image(10);
    AppendBlock(early, data.data(), 10);
    early.push_back(0x05);

    const Case cases[] = {
        {"first magic byte wrong", with(good, 0, 'k'), "bad magic: byte 1 of 13 is 0x6B"},
        {"last magic byte wrong", with(good, 12, 'e'), "bad magic: byte 13 of 13"},
        {"length 0", empty, "block 1: bad length 0"},
        {"length 1025", tooLong, "block 1: bad length 1025"},
        {"length above 1024 in a later block", with(good, 13 + 2 + 1024 + 1, 0x10),
         "block 2: bad length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceStreamParser parser;
        const FeedRun run = FeedInChunks(parser, c.stream, 5);
        EXPECT_TRUE(run.violation);
        EXPECT_TRUE(parser.Failed());
        EXPECT_NE(parser.Error().find(c.error), std::string::npos) << parser.Error();
        EXPECT_FALSE(parser.Finish());
    }

    // Bytes of the next frame fed while an answer is due.
    DeviceStreamParser parser;
    auto result = parser.Feed(early.data(), early.size());
    ASSERT_EQ(result.answerDue, Frame::kMagicFrame);
    parser.Acknowledge();
    result = parser.Feed(early.data() + 13, early.size() - 13);
    ASSERT_EQ(result.answerDue, Frame::kDataFrame);
    result = parser.Feed(early.data() + early.size() - 1, 1);
    EXPECT_TRUE(result.violation);
    EXPECT_NE(parser.Error().find("before the answer to block 1"), std::string::npos)
        << parser.Error();
}

TEST(DeviceStreamParserTest, ViolationIsFinal) {
    DeviceStreamParser parser;
    const std::uint8_t wrong = 'X';
    EXPECT_TRUE(parser.Feed(&wrong, 1).violation);
    const Bytes stream = StreamFor(Image(10));
    const auto result = parser.Feed(stream.data(), stream.size());
    EXPECT_TRUE(result.violation);
    EXPECT_EQ(result.consumed, 0u);
}

TEST(DeviceStreamParserTest, RefusesAnImageAboveTheLimit) {
    DeviceStreamParser parser(2000);
    const FeedRun run = FeedInChunks(parser, StreamFor(Image(2500)), 64);
    EXPECT_TRUE(run.violation);
    EXPECT_NE(parser.Error().find("block 2: the image would exceed 2000 bytes"), std::string::npos)
        << parser.Error();
    EXPECT_LE(parser.Image().size(), 2000u);
}

TEST(DeviceStreamParserTest, CloseBeforeAWholeAnsweredBlockIsIncomplete) {
    const Bytes stream = StreamFor(Image(1500));
    struct Case {
        const char* what;
        std::size_t bytes;  // fed before the close
        bool acknowledgeLast;
        const char* error;
    };
    const Case cases[] = {
        {"nothing sent", 0, true, "before any byte arrived"},
        {"part of the magic", 5, true, "after 5 of 13 magic bytes"},
        {"magic not answered", 13, false, "before the answer to the magic frame was sent"},
        {"half a length frame", 14, true, "inside the length frame of block 1"},
        {"part of a block", 13 + 2 + 100, true, "after 100 of 1024 bytes of block 1"},
        {"last block not answered", stream.size(), false, "before the answer to block 2 was sent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceStreamParser parser;
        std::size_t offset = 0;
        while (offset < c.bytes) {
            const auto result = parser.Feed(stream.data() + offset, c.bytes - offset);
            offset += result.consumed;
            ASSERT_FALSE(result.violation);
            const bool last = offset == c.bytes;
            if (result.answerDue != Frame::kNone && (!last || c.acknowledgeLast)) {
                parser.Acknowledge();
            }
        }
        EXPECT_FALSE(parser.Finish());
        EXPECT_FALSE(parser.Complete());
        EXPECT_NE(parser.Error().find(c.error), std::string::npos) << parser.Error();
    }
}

TEST(DeviceStreamParserTest, MagicAloneIsAWholeStreamWithoutBlocks) {
    DeviceStreamParser parser;
    const FeedRun run = FeedInChunks(parser, Magic(), 13);
    ASSERT_FALSE(run.violation);
    EXPECT_TRUE(parser.Finish());
    EXPECT_EQ(parser.BlocksReceived(), 0);
    EXPECT_TRUE(parser.Image().empty());
}

}  // namespace
