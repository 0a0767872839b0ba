#pragma once

#include <memory>
#include <ostream>
#include <vector>

#include "app/log_pipe.h"
#include "cli/device_list.h"
#include "cli/device_run_report.h"
#include "cli/upload_events.h"
#include "cli/upload_image.h"
#include "cli/upload_ledger.h"
#include "cli/upload_options.h"
#include "cli/upload_reporter.h"
#include "packer/pack_limits.h"

namespace platform {
class InterruptSignals;
}

namespace cli {

// Why nothing was sent when --require-ledger finds the ledger unwritable.
inline constexpr char kLedgerRefusedText[] = "the ledger cannot be written (--require-ledger)";

// The plan of sending `prepared` to `devices` as `options` ask: with --skip-current, the devices
// the ledger shows current with it are left out (in `skipped`; a ledger that cannot be read
// leaves out none, with a warning on `err`). `single` is left false.
UploadPlan PlanUpload(const UploadOptions& options, const std::vector<DeviceAddress>& devices,
                      const PreparedImage& prepared, std::ostream& err);

// The ledger's record of sending `prepared` to `plan`'s devices (an upload of its own), opened,
// with the image recorded and the devices' start rows handed to it; none, after the message on
// `err`, when --require-ledger finds it unwritable. Opened last before sending: every start row
// stands for an upload that is tried.
std::unique_ptr<UploadLedger> OpenRecord(const UploadOptions& options, const UploadPlan& plan,
                                         const PreparedImage& prepared, std::ostream& err);

// What sending an image came to: every device's report, in the plan's order.
struct SendResult {
    std::vector<DeviceRunReport> reports;
    int interruptStatus = 0;  // the exit status of the signal that cut the upload short, or 0

    bool AllOk() const;
    // The upload's exit code: the signal's status, else kExitOk when every device took it.
    int ExitCode() const;
};

// Sends `prepared` to the plan's devices, each with its own connection, pacing and time-out as
// `options` ask, recorded in `record`; `events` are the printer's for this upload.
SendResult SendToDevices(const UploadOptions& options, const UploadPlan& plan,
                         const packer::PackLimits& limits, const PreparedImage& prepared,
                         platform::InterruptSignals& interrupts, app::LogPipe& logPipe,
                         UploadLedger& record, UploadEvents& events);

}  // namespace cli
