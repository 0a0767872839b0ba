#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "transfer/frame_queue.h"
#include "transfer/frames.h"

namespace {

using transfer::FrameQueue;

std::vector<std::uint8_t> Pattern(std::size_t length) {
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i) {
        image[i] = static_cast<std::uint8_t>((i * 31 + 7) & 0xFF);
    }
    return image;
}

struct Popped {
    std::vector<std::uint8_t> payload;
    std::int32_t waitForAck = -1;
};

std::vector<Popped> PopAll(FrameQueue& queue) {
    std::vector<Popped> frames;
    while (!queue.Empty()) {
        std::uint8_t buffer[transfer::kFramePayloadCapacity] = {};
        std::int32_t length = -1;
        Popped frame;
        queue.PopFrame(buffer, length, frame.waitForAck);
        frame.payload.assign(buffer, buffer + length);
        frames.push_back(std::move(frame));
    }
    return frames;
}

TEST(BuildFrames, MatchesWorkedExampleOf2500Bytes) {
    const auto image = Pattern(2500);
    FrameQueue queue;
    queue.BuildFrames(image.data(), 2500);
    const auto frames = PopAll(queue);
    ASSERT_EQ(frames.size(), 7u);

    const std::string magic(frames[0].payload.begin(), frames[0].payload.end());
    EXPECT_EQ(magic, "KXHTMLUPGRADE");
    const std::vector<std::vector<std::uint8_t>> lengths = {
        {0x00, 0x04}, {0x00, 0x04}, {0xC4, 0x01}};
    for (std::size_t block = 0; block < 3; ++block) {
        const Popped& length = frames[1 + 2 * block];
        const Popped& data = frames[2 + 2 * block];
        EXPECT_EQ(length.payload, lengths[block]) << block;
        EXPECT_EQ(length.waitForAck, 0) << block;
        EXPECT_EQ(data.waitForAck, 1) << block;
        const std::size_t start = block * 1024;
        const std::size_t end = std::min<std::size_t>(start + 1024, 2500);
        EXPECT_EQ(data.payload, std::vector<std::uint8_t>(image.begin() + static_cast<long>(start),
                                                          image.begin() + static_cast<long>(end)))
            << block;
    }
    EXPECT_EQ(frames[0].waitForAck, 1);
}

TEST(BuildFrames, CutsEachLengthIntoTheRightBlocks) {
    struct Case {
        std::int32_t imageLength;
        std::size_t frames;
        std::vector<std::int32_t> blockSizes;
    };
    const Case cases[] = {
        {0, 1, {}},
        {1, 3, {1}},
        {1024, 3, {1024}},
        {1025, 5, {1024, 1}},
        {2048, 5, {1024, 1024}},
        {196608, 385, std::vector<std::int32_t>(192, 1024)},
    };
    for (const Case& c : cases) {
        const auto image = Pattern(static_cast<std::size_t>(c.imageLength));
        FrameQueue queue;
        queue.BuildFrames(image.data(), c.imageLength);
        EXPECT_EQ(static_cast<std::int64_t>(queue.Size()), transfer::FrameCount(c.imageLength));
        const auto frames = PopAll(queue);
        ASSERT_EQ(frames.size(), c.frames) << c.imageLength;
        EXPECT_EQ(frames[0].payload.size(), 13u);
        std::vector<std::uint8_t> reassembled;
        for (std::size_t b = 0; b < c.blockSizes.size(); ++b) {
            const auto& length = frames[1 + 2 * b].payload;
            ASSERT_EQ(length.size(), 2u);
            EXPECT_EQ(length[0] | (length[1] << 8), c.blockSizes[b]) << c.imageLength << " " << b;
            const auto& data = frames[2 + 2 * b].payload;
            reassembled.insert(reassembled.end(), data.begin(), data.end());
        }
        EXPECT_EQ(reassembled, image) << c.imageLength;
    }
}

TEST(BuildFrames, NegativeLengthOrNoImageGivesOnlyTheMagicFrame) {
    FrameQueue queue;
    queue.BuildFrames(nullptr, 100);
    EXPECT_EQ(queue.Size(), 1);
    queue.ClearFrames();
    const std::uint8_t byte = 1;
    queue.BuildFrames(&byte, -5);
    EXPECT_EQ(queue.Size(), 1);
}

TEST(PopFrame, LeavesSendSlotAloneOnEmptyQueue) {
    FrameQueue queue;
    std::uint8_t buffer[transfer::kFramePayloadCapacity];
    std::memset(buffer, 0xAB, sizeof buffer);
    std::int32_t length = 42;
    std::int32_t awaiting = 7;
    queue.PopFrame(buffer, length, awaiting);
    EXPECT_EQ(length, 42);
    EXPECT_EQ(awaiting, 7);
    EXPECT_EQ(buffer[0], 0xAB);
}

TEST(ClearFrames, EmptiesQueueAndToleratesEmptyQueue) {
    FrameQueue queue;
    queue.ClearFrames();
    EXPECT_TRUE(queue.Empty());
    const auto image = Pattern(3000);
    queue.BuildFrames(image.data(), 3000);
    ASSERT_EQ(queue.Size(), 7);
    queue.ClearFrames();
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Size(), 0);
}

TEST(BuildFrames, FramesHoldOnlyTheirOwnBytesAndDataFramesReferToTheImage) {
    // A queue for a 64 MiB image has 131073 frames: a fixed 4096-byte payload each made it
    // about 540 MB.
    EXPECT_LE(sizeof(transfer::COrderObj), 96u);
    const auto image = Pattern(3000);
    FrameQueue queue;
    queue.BuildFrames(image.data(), 3000);
    ASSERT_EQ(queue.Size(), 7);
    EXPECT_EQ(queue.At(2).Data(), image.data());
    EXPECT_EQ(queue.At(6).Data(), image.data() + 2048);
    EXPECT_EQ(queue.At(6).length, 3000 - 2048);
    EXPECT_NE(queue.At(0).Data(), nullptr);
}

TEST(COrderObj, KeepsOutOfRangeCountsInsideThePayload) {
    std::vector<std::uint8_t> source(5000, 0x5A);
    transfer::COrderObj frame;
    EXPECT_EQ(frame.waitForAck, 0);
    EXPECT_EQ(frame.length, 0);
    frame.SetData(source.data(), 5000);
    EXPECT_EQ(frame.length, transfer::kFramePayloadCapacity);
    frame.SetData(source.data(), -1);
    EXPECT_EQ(frame.length, 0);
    frame.SetData(source.data(), 3);
    std::uint8_t out[transfer::kFramePayloadCapacity] = {};
    std::int32_t count = 0;
    frame.GetData(out, count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(out[2], 0x5A);
    EXPECT_EQ(out[3], 0);
    frame.SetData(source.data(), 100);  // more than fits inside the object
    frame.GetData(out, count);
    EXPECT_EQ(count, 100);
    EXPECT_EQ(out[99], 0x5A);
}

}  // namespace
