#include "transfer/frame_queue.h"

#include <algorithm>

#include "transfer/frames.h"

namespace transfer {
namespace {

COrderObj NewFrame(std::int32_t waitForAck, const std::uint8_t* bytes, std::int32_t count) {
    COrderObj frame;
    frame.waitForAck = waitForAck;
    frame.SetData(bytes, count);
    return frame;
}

// A data frame refers to its block of the image instead of copying it, so that a queue of a
// large image costs a few bytes per frame beside the image rather than a second image.
COrderObj NewImageFrame(const std::uint8_t* block, std::int32_t count) {
    COrderObj frame;
    frame.waitForAck = 1;
    frame.ReferData(block, count);
    return frame;
}

}  // namespace

void FrameQueue::ClearFrames() {
    frames_.clear();
}

void FrameQueue::PopFrame(std::uint8_t* sendBuffer, std::int32_t& sendLength,
                          std::int32_t& awaitingAck) {
    if (frames_.empty()) {
        return;
    }
    const COrderObj& frame = frames_.front();
    frame.GetData(sendBuffer, sendLength);
    awaitingAck = frame.waitForAck;
    frames_.pop_front();
}

void FrameQueue::BuildFrames(const std::uint8_t* image, std::int32_t imageLength) {
    // 1-2. The magic frame, always first.
    std::uint8_t scratch[kMagicLength] = {};
    std::copy(kMagic.begin(), kMagic.end(), scratch);
    frames_.push_back(NewFrame(1, scratch, kMagicLength));

    // 3. Blocks of 1024 bytes, the last one shorter; none for an empty image.
    if (image == nullptr) {
        return;
    }
    const auto blocks = BlockCount(imageLength);
    // 4. Per block: its length (16-bit, low byte first), unacknowledged; then its bytes.
    for (std::int64_t i = 0; i < blocks; ++i) {
        const std::int64_t start = i * kBlockSize;
        const auto n = static_cast<std::int32_t>(
            std::min<std::int64_t>(kBlockSize, static_cast<std::int64_t>(imageLength) - start));
        scratch[0] = static_cast<std::uint8_t>(n & 0xFF);
        scratch[1] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
        frames_.push_back(NewFrame(0, scratch, kLengthFrameSize));
        frames_.push_back(NewImageFrame(image + start, n));
    }
}

}  // namespace transfer
