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

void AckTraceLink::Read(const std::uint8_t* chunk, std::int32_t length) {
    std::int64_t atMs = trace_.ElapsedMs();
    if (!receiveTimes_.empty()) {
        atMs = receiveTimes_.front();
        receiveTimes_.pop_front();
    }
    if (length >= 0) {
        trace_.NoteReply(atMs, chunk, length);
    }
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
