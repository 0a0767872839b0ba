#pragma once

#include <cstdint>
#include <deque>

#include "transfer/order_obj.h"

namespace transfer {

// The frames of one run in sending order. Owns its frames, held by value (a frame is a few
// dozen bytes; thousands of runs need no allocation per frame): a frame leaves only by PopFrame
// (copied out, then destroyed) or ClearFrames.
class FrameQueue {
  public:
    FrameQueue() = default;
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    void ClearFrames();
    // Takes the front frame: copies its payload into sendBuffer (4096 bytes), its length into
    // sendLength and its waitForAck into awaitingAck. An empty queue changes nothing.
    void PopFrame(std::uint8_t* sendBuffer, std::int32_t& sendLength, std::int32_t& awaitingAck);
    // Appends the magic frame and, per 1024-byte block of the image, a length and a data frame.
    // The data frames refer to the image's bytes: they must stay alive and unchanged until the
    // frames are popped or cleared (the sequencer clears the queue before it builds an image).
    void BuildFrames(const std::uint8_t* image, std::int32_t imageLength);

    int Size() const { return static_cast<int>(frames_.size()); }
    bool Empty() const { return frames_.empty(); }
    const COrderObj& At(int index) const { return frames_[static_cast<std::size_t>(index)]; }

  private:
    std::deque<COrderObj> frames_;
};

}  // namespace transfer
