#include "transfer/ack_trace.h"

#include <algorithm>
#include <chrono>

#include "transfer/upload_sequencer.h"

namespace transfer {

namespace {

// The text the sequencer waits for after the magic and each data frame.
constexpr char kAckReply[] = "OK";
constexpr std::int32_t kAckReplyLength = 2;

std::int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

char FoldAsciiCase(std::uint8_t c) {
    return static_cast<char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
}

}  // namespace

bool FrameAwaitsAck(int frameIndex) {
    return frameIndex % 2 == 0;
}

bool IsAckReply(const std::uint8_t* bytes, std::int32_t length) {
    // Read as a zero-terminated text: what follows a zero byte does not count.
    std::int32_t textLength = 0;
    while (textLength < length && bytes[textLength] != 0) {
        ++textLength;
    }
    if (textLength != kAckReplyLength) {
        return false;
    }
    for (std::int32_t i = 0; i < textLength; ++i) {
        if (FoldAsciiCase(bytes[i]) != FoldAsciiCase(static_cast<std::uint8_t>(kAckReply[i]))) {
            return false;
        }
    }
    return true;
}

AckTrace::AckTrace(NowMs nowMs) : nowMs_(nowMs ? std::move(nowMs) : NowMs(SteadyNowMs)) {
    startMs_ = nowMs_();
}

std::int64_t AckTrace::ElapsedMs() const {
    return nowMs_() - startMs_;
}

void AckTrace::NoteConnect(bool ok) {
    connectAtMs_ = ElapsedMs();
    connected_ = ok;
}

void AckTrace::NoteSend(std::int32_t length, bool ok) {
    TracedFrame frame;
    frame.index = static_cast<int>(frames_.size());
    frame.sentAtMs = ElapsedMs();
    frame.length = length;
    frame.sendOk = ok;
    frame.awaitsAck = FrameAwaitsAck(frame.index);
    frames_.push_back(std::move(frame));
}

void AckTrace::NoteReply(std::int64_t atMs, const std::uint8_t* bytes, std::int32_t length) {
    if (frames_.empty() && earlyReplies_.size() >= kMaxTracedReplies) {
        ++moreEarlyReplies_;
        return;
    }
    if (!frames_.empty() && frames_.back().replies.size() >= kMaxTracedReplies) {
        TracedFrame& frame = frames_.back();
        ++frame.moreReplies;
        if (!frame.laterAckAtMs && bytes != nullptr && IsAckReply(bytes, length)) {
            frame.laterAckAtMs = atMs;
        }
        return;
    }
    TracedReply reply;
    reply.atMs = atMs;
    if (bytes != nullptr && length > 0) {
        reply.bytes.assign(bytes, bytes + length);
    }
    if (frames_.empty()) {
        earlyReplies_.push_back(std::move(reply));
    } else {
        frames_.back().replies.push_back(std::move(reply));
    }
}

void AckTrace::NotePeerClosed() {
    if (!peerClosedAtMs_) {
        peerClosedAtMs_ = ElapsedMs();
    }
}

void AckTrace::NoteClosed() {
    if (!closedAtMs_) {
        closedAtMs_ = ElapsedMs();
    }
}

FrameVerdict AckTrace::Judge(const TracedFrame& frame) const {
    if (!frame.awaitsAck) {
        return {AckOutcome::kNotAwaited, -1};
    }
    std::optional<std::int64_t> ackAtMs = frame.laterAckAtMs;
    for (const auto& reply : frame.replies) {
        if (IsAckReply(reply.bytes.data(), static_cast<std::int32_t>(reply.bytes.size()))) {
            ackAtMs = reply.atMs;
            break;
        }
    }
    if (ackAtMs) {
        const std::int64_t delay = *ackAtMs - frame.sentAtMs;
        const bool late = delay >= static_cast<std::int64_t>(kAckTimeoutMs);
        return {late ? AckOutcome::kLate : AckOutcome::kAcknowledged, delay};
    }
    if (!frame.replies.empty()) {
        return {AckOutcome::kWrong, frame.replies.front().atMs - frame.sentAtMs};
    }
    return {AckOutcome::kNone, -1};
}

AckDelaySummary AckTrace::Summary() const {
    AckDelaySummary summary;
    std::vector<std::int64_t> delays;
    for (const auto& frame : frames_) {
        if (!frame.awaitsAck) {
            continue;
        }
        ++summary.awaited;
        const FrameVerdict verdict = Judge(frame);
        if (verdict.outcome == AckOutcome::kAcknowledged || verdict.outcome == AckOutcome::kLate) {
            delays.push_back(verdict.delayMs);
        }
    }
    summary.acknowledged = static_cast<int>(delays.size());
    if (delays.empty()) {
        return summary;
    }
    std::sort(delays.begin(), delays.end());
    const std::size_t middle = delays.size() / 2;
    summary.minMs = delays.front();
    summary.maxMs = delays.back();
    summary.medianMs =
        delays.size() % 2 == 1 ? delays[middle] : (delays[middle - 1] + delays[middle]) / 2;
    return summary;
}

}  // namespace transfer
