#include "cli/step_link.h"

#include <vector>

#include "cli/trace_report.h"
#include "transfer/ack_trace.h"

namespace cli {

StepLink::StepLink(std::unique_ptr<transfer::DeviceLink> inner, Print print,
                   TotalFrames totalFrames)
    : inner_(std::move(inner)), print_(std::move(print)), totalFrames_(std::move(totalFrames)) {}

bool StepLink::Create(unsigned localPort, int socketType, long eventMask,
                      const char* localAddress) {
    return inner_->Create(localPort, socketType, eventMask, localAddress);
}

void StepLink::SetNotifyWindow(platform::MessageTarget* window) {
    window_ = window;
    inner_->SetNotifyWindow(window != nullptr ? this : nullptr);
}

bool StepLink::Connect(const std::string& address, int port) {
    print_("connect to " + address + ":" + std::to_string(port));
    const bool ok = inner_->Connect(address, port);
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
    ++framesSent_;
    const bool ok = inner_->SendBytes(data, length);
    if (ok) {
        print_(FrameOfTotal() + " sent (" + std::to_string(length) + " bytes)");
    } else {
        print_("send of " + FrameOfTotal() + " failed");
    }
    return ok;
}

void StepLink::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    std::int32_t copied = -1;
    inner_->CopyLastReceived(destination, copied);
    if (copied < 0) {
        return;
    }
    outLength = copied;
    const std::string frame = "frame " + std::to_string(framesSent_);
    if (transfer::IsAckReply(destination, copied)) {
        print_(frame + " acknowledged");
    } else {
        const std::vector<std::uint8_t> bytes(destination, destination + copied);
        print_(frame + ": reply \"" + EscapeBytes(bytes) + "\" is not OK");
    }
}

void StepLink::Close() {
    inner_->Close();
}

void StepLink::PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    if (message == platform::WM_DEVICE_CLOSE) {
        print_("the device closed the connection");
    }
    if (window_ != nullptr) {
        window_->PostMessage(message, wParam, lParam);
    }
}

}  // namespace cli
