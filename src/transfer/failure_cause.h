#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace transfer {

// Why the last run of an upload failed, for callers that explain more than the message box does.
struct FailureCause {
    enum class Kind {
        kNone,        // no failure (yet): a run in progress, a success, or no run
        kBuild,       // the image could not be built; the builder has said why
        kCreate,      // the socket could not be made
        kConnect,     // the connection could not be made
        kSend,        // a frame could not be sent whole
        kNoAnswer,    // the device did not acknowledge a frame in time
        kWrongReply,  // no acknowledgement in time, but the device did answer something else
    };
    Kind kind = Kind::kNone;
    int frame = 0;               // 1-based number of the frame sent or awaited; 0 before the frames
    int totalFrames = 0;         // frames of the run; 0 before the frames were built
    std::uint32_t waitedMs = 0;  // kNoAnswer: time since that frame was sent, as measured
    std::uint32_t timeoutMs = 0;  // kNoAnswer: the acknowledgement time-out in force
    std::string systemError;      // kCreate, kConnect, kSend: the link's reason, when known
    // kWrongReply: the start of the first reply to that frame (at most kShownReplyBytes of it)
    // and its whole length.
    std::vector<std::uint8_t> reply;
    std::int32_t replyLength = 0;

    bool operator==(const FailureCause&) const = default;
};

// How much of a wrong reply a cause shows.
inline constexpr std::int32_t kShownReplyBytes = 32;

// Bytes as a C string literal body: printable ASCII as is, \r \n \t \0 \\ \" and \xHH else.
std::string EscapeBytes(const std::vector<std::uint8_t>& bytes);

// One line that explains `cause` after the message box text, without a program prefix:
//   kCreate    "TARGET: socket: REASON"
//   kConnect   "TARGET: connect: REASON"
//   kSend      "frame F of T: send: REASON"
//   kNoAnswer  "frame F of T: no answer within TIMEOUT ms"
//   kWrongReply "frame F of T: the device answered \"O\" (not OK)", the reply escaped; one
//              longer than kShownReplyBytes is cut: "...\"... (40 bytes, not OK)"
// where TARGET is `target` ("host:port") and REASON the system's text, or "unknown error" when
// it is not known. Empty for kNone and kBuild (the builder's message already says why).
std::string DescribeFailure(const FailureCause& cause, const std::string& target);

}  // namespace transfer
