#include "cli/trace_report.h"

#include <cstdio>
#include <optional>

#include <QJsonArray>
#include <QJsonObject>

namespace cli {

namespace {

using transfer::AckOutcome;
using transfer::AckTrace;
using transfer::TracedFrame;

constexpr int kFrameColumn = 5;
constexpr int kSentColumn = 8;
constexpr int kBytesColumn = 6;

std::string Ms(std::int64_t ms) {
    return std::to_string(ms) + " ms";
}

std::string Padded(const std::string& text, int width) {
    const auto size = static_cast<int>(text.size());
    return size >= width ? text : std::string(static_cast<std::size_t>(width - size), ' ') + text;
}

// The chunks that came after the frame, each with its delay.
std::string DescribeReplies(const TracedFrame& frame) {
    std::string text;
    for (const auto& reply : frame.replies) {
        if (!text.empty()) {
            text += "; ";
        }
        text += "\"" + EscapeBytes(reply.bytes) + "\" after " + Ms(reply.atMs - frame.sentAtMs);
    }
    return text;
}

// How long the uploader waited for an answer that never came: until the next frame went out
// or, for the last frame, until the connection was closed.
std::optional<std::int64_t> WaitedMs(const AckTrace& trace, const TracedFrame& frame) {
    const auto& frames = trace.Frames();
    const auto next = static_cast<std::size_t>(frame.index) + 1;
    if (next < frames.size()) {
        return frames[next].sentAtMs - frame.sentAtMs;
    }
    if (trace.ClosedAtMs()) {
        return *trace.ClosedAtMs() - frame.sentAtMs;
    }
    return std::nullopt;
}

std::string DescribeAnswer(const AckTrace& trace, const TracedFrame& frame) {
    if (!frame.sendOk) {
        return "send failed";
    }
    const auto verdict = trace.Judge(frame);
    switch (verdict.outcome) {
        case AckOutcome::kNotAwaited:
            return frame.replies.empty() ? "-" : "- (unexpected " + DescribeReplies(frame) + ")";
        case AckOutcome::kAcknowledged:
            return "OK after " + Ms(verdict.delayMs);
        case AckOutcome::kLate:
            return "late: OK after " + Ms(verdict.delayMs);
        case AckOutcome::kWrong:
            return "wrong: " + DescribeReplies(frame);
        case AckOutcome::kNone: {
            const auto waited = WaitedMs(trace, frame);
            return waited ? "none (waited " + Ms(*waited) + ")" : "none";
        }
    }
    return {};
}

// " (+N more replies)" for the replies a trace counted but did not keep; empty for none.
std::string MoreReplies(std::int64_t count) {
    if (count <= 0) {
        return {};
    }
    return " (+" + std::to_string(count) + (count == 1 ? " more reply)" : " more replies)");
}

const char* OutcomeName(AckOutcome outcome) {
    switch (outcome) {
        case AckOutcome::kNotAwaited:
            return "not_awaited";
        case AckOutcome::kAcknowledged:
            return "ok";
        case AckOutcome::kLate:
            return "late";
        case AckOutcome::kWrong:
            return "wrong";
        case AckOutcome::kNone:
            return "none";
    }
    return "";
}

}  // namespace

void PrintAckTrace(const AckTrace& trace, const std::string& device, std::ostream& out) {
    out << "trace of " << device << " (ms since Start)\n";
    if (trace.ConnectAttempted()) {
        out << "connect: " << (trace.Connected() ? "ok" : "failed") << " at "
            << Ms(*trace.ConnectAtMs()) << "\n";
    } else {
        out << "connect: not tried\n";
    }
    for (const auto& reply : trace.EarlyReplies()) {
        out << "before the first frame: \"" << EscapeBytes(reply.bytes) << "\" at "
            << Ms(reply.atMs) << "\n";
    }
    if (trace.MoreEarlyReplies() > 0) {
        out << "before the first frame:" << MoreReplies(trace.MoreEarlyReplies()) << "\n";
    }
    if (!trace.Frames().empty()) {
        out << "frame  sent ms  bytes  acknowledgement\n";
    }
    for (const auto& frame : trace.Frames()) {
        out << Padded(std::to_string(frame.index + 1), kFrameColumn)
            << Padded(std::to_string(frame.sentAtMs), kSentColumn + 1)
            << Padded(std::to_string(frame.length), kBytesColumn + 1) << "  "
            << DescribeAnswer(trace, frame) << MoreReplies(frame.moreReplies) << "\n";
    }
    if (trace.PeerClosedAtMs()) {
        out << "the device closed the connection at " << Ms(*trace.PeerClosedAtMs()) << "\n";
    }
    if (trace.ClosedAtMs()) {
        out << "connection closed at " << Ms(*trace.ClosedAtMs()) << "\n";
    }
    const auto summary = trace.Summary();
    out << "acknowledgement delay: ";
    if (summary.acknowledged > 0) {
        out << "min " << Ms(summary.minMs) << ", median " << Ms(summary.medianMs) << ", max "
            << Ms(summary.maxMs);
    } else {
        out << "no acknowledgement";
    }
    out << " (" << summary.acknowledged << " of " << summary.awaited << " frames answered)\n";
}

void PrintAckTraceJson(const AckTrace& trace, const std::string& device, JsonLines& json) {
    const QString name = QString::fromStdString(device);
    for (const auto& frame : trace.Frames()) {
        const auto verdict = trace.Judge(frame);
        QJsonArray replies;
        for (const auto& reply : frame.replies) {
            replies.append(QJsonObject{{"ms", static_cast<qint64>(reply.atMs)},
                                       {"text", QString::fromStdString(EscapeBytes(reply.bytes))}});
        }
        QJsonObject object{{"device", name},
                           {"frame", frame.index + 1},
                           {"sent_ms", static_cast<qint64>(frame.sentAtMs)},
                           {"bytes", frame.length},
                           {"send_ok", frame.sendOk},
                           {"ack", OutcomeName(verdict.outcome)},
                           {"replies", replies}};
        if (verdict.delayMs >= 0) {
            object.insert("delay_ms", static_cast<qint64>(verdict.delayMs));
        }
        if (frame.moreReplies > 0) {
            object.insert("more_replies", static_cast<qint64>(frame.moreReplies));
        }
        json.Write("trace", object);
    }
    const auto summary = trace.Summary();
    QJsonObject object{{"device", name},
                       {"connected", trace.Connected()},
                       {"awaited", summary.awaited},
                       {"acknowledged", summary.acknowledged}};
    if (summary.acknowledged > 0) {
        object.insert("min_ms", static_cast<qint64>(summary.minMs));
        object.insert("median_ms", static_cast<qint64>(summary.medianMs));
        object.insert("max_ms", static_cast<qint64>(summary.maxMs));
    }
    if (trace.PeerClosedAtMs()) {
        object.insert("device_closed_ms", static_cast<qint64>(*trace.PeerClosedAtMs()));
    }
    json.Write("trace_summary", object);
}

}  // namespace cli
