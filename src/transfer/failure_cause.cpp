#include "transfer/failure_cause.h"

namespace transfer {

namespace {

std::string Reason(const FailureCause& cause) {
    return cause.systemError.empty() ? "unknown error" : cause.systemError;
}

std::string FrameOf(const FailureCause& cause) {
    return "frame " + std::to_string(cause.frame) + " of " + std::to_string(cause.totalFrames);
}

}  // namespace

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
        case FailureCause::Kind::kNone:
        case FailureCause::Kind::kBuild:
            break;
    }
    return {};
}

}  // namespace transfer
