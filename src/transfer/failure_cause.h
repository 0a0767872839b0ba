#pragma once

#include <cstdint>
#include <string>

namespace transfer {

// Why the last run of an upload failed, for callers that explain more than the message box does.
struct FailureCause {
    enum class Kind {
        kNone,      // no failure (yet): a run in progress, a success, or no run
        kBuild,     // the image could not be built; the builder has said why
        kCreate,    // the socket could not be made
        kConnect,   // the connection could not be made
        kSend,      // a frame could not be sent whole
        kNoAnswer,  // the device did not acknowledge a frame in time
    };
    Kind kind = Kind::kNone;
    int frame = 0;               // 1-based number of the frame sent or awaited; 0 before the frames
    int totalFrames = 0;         // frames of the run; 0 before the frames were built
    std::uint32_t waitedMs = 0;  // kNoAnswer: time since that frame was sent, as measured
    std::uint32_t timeoutMs = 0;  // kNoAnswer: the acknowledgement time-out in force
    std::string systemError;      // kCreate, kConnect, kSend: the link's reason, when known

    bool operator==(const FailureCause&) const = default;
};

// One line that explains `cause` after the message box text, without a program prefix:
//   kCreate    "TARGET: socket: REASON"
//   kConnect   "TARGET: connect: REASON"
//   kSend      "frame F of T: send: REASON"
//   kNoAnswer  "frame F of T: no answer within TIMEOUT ms"
// where TARGET is `target` ("host:port") and REASON the system's text, or "unknown error" when
// it is not known. Empty for kNone and kBuild (the builder's message already says why).
std::string DescribeFailure(const FailureCause& cause, const std::string& target);

}  // namespace transfer
