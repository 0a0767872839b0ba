#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transfer/forwarding_device_link.h"

namespace cli {

// A connection that tells a person every step of another one, one line each, for
// `upload --verbose`: "connect to HOST:PORT", "connected" or "connect failed", "frame K of N
// sent (L bytes)" (or "send of frame K of N failed"), "frame K acknowledged" or "frame K:
// reply \"...\" is not OK", "the device closed the connection". Only a frame's first reply
// gets its own line: the others are told in one line when the next frame goes out or the
// connection is closed ("frame K: N more replies, M of them OK, the first \"...\""), so a
// device that floods replies cannot flood the output. It changes nothing of what the sequencer
// sees.
class StepLink : public transfer::ForwardingDeviceLink {
  public:
    using Print = std::function<void(const std::string& line)>;
    using TotalFrames = std::function<int()>;

    StepLink(std::unique_ptr<transfer::DeviceLink> inner, Print print, TotalFrames totalFrames);

    bool Connect(const std::string& address, int port) override;
    bool SendBytes(const std::uint8_t* data, std::int32_t length) override;
    void Close() override;

  private:
    void Notified(unsigned message) override;
    void Read(const std::uint8_t* chunk, std::int32_t length) override;
    std::string FrameOfTotal() const;
    // Tells the replies to the last frame after its first one, if any came, and forgets them.
    void TellMoreReplies();

    Print print_;
    TotalFrames totalFrames_;
    int framesSent_ = 0;  // frames handed to the inner link, counting a failed send
    // Replies to the last frame sent: how many came, how many came after the first, how many
    // of those were "OK", and the start of the first of those.
    std::int64_t replies_ = 0;
    std::int64_t moreReplies_ = 0;
    std::int64_t moreAcks_ = 0;
    std::vector<std::uint8_t> firstMoreReply_;
};

}  // namespace cli
