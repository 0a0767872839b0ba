#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/output.h"
#include "transfer/ack_trace.h"
#include "transfer/failure_cause.h"

namespace cli {

using transfer::EscapeBytes;

// The acknowledgement trace of one device, for a person (times in ms since Start):
//   trace of 127.0.0.1:8001 (ms since Start)
//   connect: ok at 0 ms
//   frame  sent ms  bytes  acknowledgement
//       1      150     13  OK after 1 ms
//       2      300      2  -
//       3      450   1024  none (waited 3150 ms)
//   acknowledgement delay: min 1 ms, median 1 ms, max 1 ms (1 of 2 frames answered)
// Other answers read `wrong after N ms: "..."` (every chunk that came, in order), `late: OK
// after N ms`, `send failed`; the device closing and the end of the connection get a line each.
// Replies a frame had past the kMaxTracedReplies kept are counted: ` (+N more replies)`.
void PrintAckTrace(const transfer::AckTrace& trace, const std::string& device, std::ostream& out);

// The same as JSON Lines through `json`: one "trace" event per frame (with "more_replies" when
// replies were counted but not kept), then one "trace_summary"; every event names the device.
void PrintAckTraceJson(const transfer::AckTrace& trace, const std::string& device, JsonLines& json);

}  // namespace cli
