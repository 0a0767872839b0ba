#pragma once

#include <vector>

#include "cli/command_context.h"
#include "cli/device_list.h"
#include "cli/upload_options.h"
#include "cli/upload_reporter.h"
#include "packer/build_report.h"
#include "packer/pack_limits.h"

namespace platform {
class InterruptSignals;
}

namespace cli {

// What `upload FOLDER --watch` works with, as the upload command resolved it.
struct WatchSetup {
    const UploadOptions& options;
    const std::vector<DeviceAddress>& devices;
    const packer::PackLimits& limits;
    const packer::BuildOptions& build;  // options.build, which a signal stops
    bool fromImage = false;             // SOURCE is an image file or standard input: refused
    platform::InterruptSignals& interrupts;
};

// `upload FOLDER --watch`: builds and uploads the folder (round 1), then rounds for as long as
// it runs: once the folder has been quiet for kWatchQuietMs after a change, the image is built
// again and sent to the devices only when its SHA-256 differs from the one they were last
// sent. Each round goes to `reporter` (Round); a failed round does not end the watch. A signal
// ends it with the last round's status; a folder that is removed or renamed ends it with
// kExitFailure (WatchEnded). --dry-run and an image source are refused (kExitUsage).
int RunUploadWatch(const WatchSetup& setup, const CommandContext& context,
                   UploadReporter& reporter);

// The quiet time after the last change before a round starts: an editor's save (a temporary
// file renamed over the old one) and a checkout of many files become one round.
inline constexpr int kWatchQuietMs = 300;

}  // namespace cli
