#include "transfer/ack_trace_link.h"

namespace transfer {

AckTraceLink::AckTraceLink(std::unique_ptr<DeviceLink> inner, AckTrace& trace)
    : ForwardingDeviceLink(std::move(inner)), trace_(trace) {}

bool AckTraceLink::Connect(const std::string& address, int port) {
    const bool ok = ForwardingDeviceLink::Connect(address, port);
    trace_.NoteConnect(ok);
    return ok;
}

bool AckTraceLink::SendBytes(const std::uint8_t* data, std::int32_t length) {
    const bool ok = ForwardingDeviceLink::SendBytes(data, length);
    trace_.NoteSend(length, ok);
    return ok;
}

void AckTraceLink::CopyLastReceived(std::uint8_t* destination, std::int32_t& outLength) {
    // The inner link leaves the length alone when it copies nothing (an empty or oversized
    // read): such a read is not a reply.
    std::int32_t copied = -1;
    ForwardingDeviceLink::CopyLastReceived(destination, copied);
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
    ForwardingDeviceLink::Close();
    trace_.NoteClosed();
}

void AckTraceLink::Notified(unsigned message) {
    if (message == platform::WM_DEVICE_RECEIVE) {
        receiveTimes_.push_back(trace_.ElapsedMs());
    } else if (message == platform::WM_DEVICE_CLOSE) {
        trace_.NotePeerClosed();
    }
}

}  // namespace transfer
