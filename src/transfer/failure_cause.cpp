#include "transfer/failure_cause.h"

#include <cstdio>

namespace transfer {

namespace {

std::string Reason(const FailureCause& cause) {
    return cause.systemError.empty() ? "unknown error" : cause.systemError;
}

std::string FrameOf(const FailureCause& cause) {
    return "frame " + std::to_string(cause.frame) + " of " + std::to_string(cause.totalFrames);
}

std::string WrongReply(const FailureCause& cause) {
    std::string text = "the device answered \"" + EscapeBytes(cause.reply) + "\"";
    if (cause.replyLength > static_cast<std::int32_t>(cause.reply.size())) {
        return text + "... (" + std::to_string(cause.replyLength) + " bytes, not OK)";
    }
    return text + " (not OK)";
}

}  // namespace

std::string EscapeBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const std::uint8_t byte : bytes) {
        switch (byte) {
            case '\r':
                text += "\\r";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\0':
                text += "\\0";
                break;
            case '\\':
                text += "\\\\";
                break;
            case '"':
                text += "\\\"";
                break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    text += static_cast<char>(byte);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
                    text += hex;
                }
        }
    }
    return text;
}

std::string DescribeFailure(const FailureCause& cause, const std::string& target) {
    switch (cause.kind) {
        case FailureCause::Kind::kCreate:
            return target + ": socket: " + Reason(cause);
        case FailureCause::Kind::kConnect:
            return target + ": connect: " + Reason(cause);
        case FailureCause::Kind::kSend:
            return FrameOf(cause) + ": send: " + Reason(cause);
        case FailureCause::Kind::kNoAnswer:
            return FrameOf(cause) + ": no answer within " + std::to_string(cause.timeoutMs) + " ms";
        case FailureCause::Kind::kWrongReply:
            return FrameOf(cause) + ": " + WrongReply(cause);
        case FailureCause::Kind::kNone:
        case FailureCause::Kind::kBuild:
            break;
    }
    return {};
}

}  // namespace transfer
