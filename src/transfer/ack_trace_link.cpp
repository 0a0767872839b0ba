#include "transfer/ack_trace_link.h"

namespace transfer {

AckTraceLink::AckTraceLink(std::unique_ptr<DeviceLink> inner, AckTrace& trace)
    : inner_(std::move(inner)), trace_(trace) {}

AckTraceLink::~AckTraceLink() = default;

bool AckTraceLink::Create(unsigned localPort, int socketType, long eventMask,
                          const char* localAddress) {
    return inner_->Create(localPort, socketType, eventMask, localAddress);
}

void AckTraceLink::SetNotifyWindow(platform::MessageTarget* window) {
    window_ = window;
    inner_->SetNotifyWindow(window != nullptr ? this : nullptr);
}

bool AckTraceLink::Connect(const std::string& address, int port) {
    const bool ok = inner_->Connect(address, port);
    trace_.NoteConnect(ok);
    return ok;
}

bool AckTraceLink::SendBytes(const std::uint8_t* data, std::int32_t length) {
    const bool ok = inner_->SendBytes(data, length);
    trace_.NoteSend(length, ok);
    return ok;
}

void AckTraceLink::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    // The inner link leaves the length alone when it copies nothing (an empty or oversized
    // read): such a read is not a reply.
    std::int32_t copied = -1;
    inner_->CopyLastReceived(destination, copied);
    std::int64_t atMs = trace_.ElapsedMs();
    if (!receiveTimes_.empty()) {
        atMs = receiveTimes_.front();
        receiveTimes_.pop_front();
    }
    if (copied < 0) {
        return;
    }
    trace_.NoteReply(atMs, destination, copied);
    outLength = copied;
}

void AckTraceLink::Close() {
    inner_->Close();
    trace_.NoteClosed();
}

void AckTraceLink::PostMessage(unsigned message, platform::WParam wParam, platform::LParam lParam) {
    if (message == platform::WM_DEVICE_RECEIVE) {
        receiveTimes_.push_back(trace_.ElapsedMs());
    } else if (message == platform::WM_DEVICE_CLOSE) {
        trace_.NotePeerClosed();
    }
    if (window_ != nullptr) {
        window_->PostMessage(message, wParam, lParam);
    }
}

}  // namespace transfer
