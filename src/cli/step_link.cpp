#include "cli/step_link.h"

#include <algorithm>
#include <vector>

#include "cli/trace_report.h"
#include "transfer/ack_trace.h"
#include "transfer/failure_cause.h"

namespace cli {

StepLink::StepLink(std::unique_ptr<transfer::DeviceLink> inner, Print print,
                   TotalFrames totalFrames)
    : ForwardingDeviceLink(std::move(inner)),
      print_(std::move(print)),
      totalFrames_(std::move(totalFrames)) {}

bool StepLink::Connect(const std::string& address, int port) {
    print_("connect to " + address + ":" + std::to_string(port));
    const bool ok = ForwardingDeviceLink::Connect(address, port);
    print_(ok ? "connected" : "connect failed");
    return ok;
}

std::string StepLink::FrameOfTotal() const {
    // The frames are built after the connect, so the count is read at each send.
    const int total = totalFrames_ ? totalFrames_() : 0;
    std::string text = "frame " + std::to_string(framesSent_);
    if (total > 0) {
        text += " of " + std::to_string(total);
    }
    return text;
}

bool StepLink::SendBytes(const std::uint8_t* data, std::int32_t length) {
    TellMoreReplies();
    ++framesSent_;
    const bool ok = ForwardingDeviceLink::SendBytes(data, length);
    if (ok) {
        print_(FrameOfTotal() + " sent (" + std::to_string(length) + " bytes)");
    } else {
        print_("send of " + FrameOfTotal() + " failed");
    }
    return ok;
}

void StepLink::Read(const std::uint8_t* chunk, std::int32_t length) {
    if (length < 0) {
        return;
    }
    const bool ack = transfer::IsAckReply(chunk, length);
    if (++replies_ > 1) {
        if (++moreReplies_ == 1) {
            // One byte past what is shown tells that the reply was cut.
            firstMoreReply_.assign(chunk, chunk + std::min(length, transfer::kShownReplyBytes + 1));
        }
        moreAcks_ += ack ? 1 : 0;
        return;
    }
    const std::string frame = "frame " + std::to_string(framesSent_);
    if (ack) {
        print_(frame + " acknowledged");
    } else {
        const std::vector<std::uint8_t> bytes(chunk, chunk + length);
        print_(frame + ": reply \"" + EscapeBytes(bytes) + "\" is not OK");
    }
}

void StepLink::TellMoreReplies() {
    if (moreReplies_ > 0) {
        const auto shown = static_cast<std::size_t>(transfer::kShownReplyBytes);
        const bool cut = firstMoreReply_.size() > shown;
        firstMoreReply_.resize(std::min(firstMoreReply_.size(), shown));
        print_("frame " + std::to_string(framesSent_) + ": " + std::to_string(moreReplies_) +
               (moreReplies_ == 1 ? " more reply, " : " more replies, ") +
               std::to_string(moreAcks_) + " of them OK, the first \"" +
               EscapeBytes(firstMoreReply_) + (cut ? "\"..." : "\""));
    }
    replies_ = 0;
    moreReplies_ = 0;
    moreAcks_ = 0;
    firstMoreReply_.clear();
}

void StepLink::Close() {
    TellMoreReplies();
    ForwardingDeviceLink::Close();
}

void StepLink::Notified(unsigned message) {
    if (message == platform::WM_DEVICE_CLOSE) {
        print_("the device closed the connection");
    }
}

}  // namespace cli
