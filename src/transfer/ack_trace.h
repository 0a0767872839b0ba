#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace transfer {

// Whether the device answers frame `frameIndex` (0-based, in sending order): the magic frame
// (0) and every data frame (2, 4, ...) are answered, the length frame before each data frame
// (1, 3, ...) is not. Follows the order in which FrameQueue::BuildFrames lays the frames out.
bool FrameAwaitsAck(int frameIndex);

// True when `bytes` read as the sequencer reads a reply: up to the first zero byte, the text
// "OK" with the letters in either case, nothing else.
bool IsAckReply(const std::uint8_t* bytes, std::int32_t length);

// One chunk of bytes the uploader read from the device.
struct TracedReply {
    std::int64_t atMs = 0;  // when the chunk arrived
    std::vector<std::uint8_t> bytes;
};

// Replies kept per frame (and before the first frame): a device that floods replies must not
// make the trace grow without bound. Those past it are only counted.
inline constexpr std::size_t kMaxTracedReplies = 16;

// One frame as it went out, with whatever came back before the next frame was sent.
struct TracedFrame {
    int index = 0;              // 0-based, in sending order
    std::int64_t sentAtMs = 0;  // when the send returned (the acknowledgement clock starts here)
    std::int32_t length = 0;
    bool sendOk = false;
    bool awaitsAck = false;
    std::vector<TracedReply> replies;  // the first kMaxTracedReplies
    std::int64_t moreReplies = 0;      // replies that came after those
    // When the first "OK" among the replies not kept came, if one did and none of those kept
    // is "OK": the sequencer took it, so the verdict must too.
    std::optional<std::int64_t> laterAckAtMs;
};

// How a frame was answered.
enum class AckOutcome {
    kNotAwaited,    // a length frame: no answer is due
    kAcknowledged,  // "OK" came within the time-out
    kLate,          // "OK" came, but kAckTimeoutMs or more after the send
    kWrong,         // only other bytes came
    kNone,          // nothing came before the next frame or the end of the run
};

struct FrameVerdict {
    AckOutcome outcome = AckOutcome::kNone;
    // Of the reply that decided the outcome ("OK", or the first wrong chunk); -1 without one.
    std::int64_t delayMs = -1;
};

// Acknowledgement delays over the frames that were answered with "OK" (late ones included).
struct AckDelaySummary {
    int awaited = 0;       // frames sent that wanted an answer
    int acknowledged = 0;  // of those, answered with "OK"
    std::int64_t minMs = 0;
    std::int64_t medianMs = 0;  // of an even count: the mean of the two middle values, rounded down
    std::int64_t maxMs = 0;
};

// The timeline of one upload as its connection saw it: connect, every send, every chunk read,
// the device closing, the end. Times are milliseconds since the trace was made (the Start).
// Filled by AckTraceLink on the upload's thread; read once the run is over.
class AckTrace {
  public:
    using NowMs = std::function<std::int64_t()>;

    // `nowMs` is a monotonic millisecond clock; by default std::chrono::steady_clock.
    explicit AckTrace(NowMs nowMs = {});

    std::int64_t ElapsedMs() const;

    void NoteConnect(bool ok);
    void NoteSend(std::int32_t length, bool ok);
    // A chunk read at `atMs` (a time from ElapsedMs); it belongs to the last frame sent.
    void NoteReply(std::int64_t atMs, const std::uint8_t* bytes, std::int32_t length);
    void NotePeerClosed();
    void NoteClosed();

    const std::vector<TracedFrame>& Frames() const { return frames_; }
    // Chunks that came before any frame was sent: the first kMaxTracedReplies, and the count of
    // those that came after them.
    const std::vector<TracedReply>& EarlyReplies() const { return earlyReplies_; }
    std::int64_t MoreEarlyReplies() const { return moreEarlyReplies_; }
    bool ConnectAttempted() const { return connectAtMs_.has_value(); }
    bool Connected() const { return connected_; }
    std::optional<std::int64_t> ConnectAtMs() const { return connectAtMs_; }
    std::optional<std::int64_t> PeerClosedAtMs() const { return peerClosedAtMs_; }
    std::optional<std::int64_t> ClosedAtMs() const { return closedAtMs_; }

    FrameVerdict Judge(const TracedFrame& frame) const;
    AckDelaySummary Summary() const;

  private:
    NowMs nowMs_;
    std::int64_t startMs_ = 0;
    bool connected_ = false;
    std::optional<std::int64_t> connectAtMs_;
    std::optional<std::int64_t> peerClosedAtMs_;
    std::optional<std::int64_t> closedAtMs_;
    std::vector<TracedFrame> frames_;
    std::vector<TracedReply> earlyReplies_;
    std::int64_t moreEarlyReplies_ = 0;
};

}  // namespace transfer
