#pragma once

#include <string>

#include "cli/fleet_upload.h"
#include "cli/upload_ledger.h"
#include "packer/build_report.h"

namespace cli {

// What `upload FOLDER --watch` takes from the upload command beside the engine's options.
struct WatchSetup {
    std::string folder;
    bool fromImage = false;  // SOURCE is an image file or standard input: refused
    bool dryRun = false;     // refused: the watch is there to upload
    packer::BuildOptions build;
    LedgerOptions ledger;
    bool json = false;
    bool skipCurrent = false;
};

// `upload FOLDER --watch`: builds and uploads the folder (round 1), then rounds for as long as
// it runs: once the folder has been quiet for kWatchQuietMs after a change, the image is built
// again and sent to `engine.devices` only when its SHA-256 differs from the one they were last
// sent. A line per round (a "round" event with --json); a failed round does not end the watch.
// The signal of `engine.interrupts` ends it with the last round's status; a folder that is
// removed or renamed ends it with kExitFailure. `engine.image` and `engine.logPipe` are set here.
int RunUploadWatch(const WatchSetup& setup, FleetUpload::Options engine);

// The quiet time after the last change before a round starts: an editor's save (a temporary
// file renamed over the old one) and a checkout of many files become one round.
inline constexpr int kWatchQuietMs = 300;

}  // namespace cli
