#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cli/device_list.h"
#include "transfer/ack_trace.h"

namespace cli {

// The text a device's run ends with when a signal ended the upload.
inline constexpr char kInterruptedText[] = "upload interrupted";

// What one device's upload came to.
struct DeviceRunReport {
    DeviceAddress device;
    bool ok = false;           // "Web Server Update OK!"
    bool stopped = false;      // ended early because another device failed (fail-fast)
    bool interrupted = false;  // ended early by SIGINT or SIGTERM (message kInterruptedText)
    int attempts = 0;          // tries made, the first included
    std::string message;       // the last message the run showed (empty when none)
    // Why the last try failed, when known, without the device's name ("connect: Connection
    // refused", "frame 5 of 13: no answer within 3000 ms"); empty otherwise.
    std::string cause;
    int framesTaken = 0;
    int totalFrames = 0;
    std::int64_t elapsedMs = 0;                 // from the first try's start to the result
    std::shared_ptr<transfer::AckTrace> trace;  // when tracing was asked for
};

}  // namespace cli
