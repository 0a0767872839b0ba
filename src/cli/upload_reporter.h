#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_context.h"
#include "cli/device_list.h"
#include "cli/device_run_report.h"
#include "cli/fleet_printer.h"
#include "cli/upload_events.h"
#include "cli/upload_image.h"
#include "cli/upload_ledger.h"
#include "packer/build_report.h"
#include "packer/pack_limits.h"

namespace cli {

// An upload about to start.
struct UploadPlan {
    std::vector<DeviceAddress> devices;  // those sent to, in the order given
    std::vector<SkippedDevice> skipped;  // left out by --skip-current
    UploadImageInfo image;
    int paceMs = 0;
    // The desktop program's Start (IsSingleDeviceUpload): reported as the window does, not as
    // rows and a table of devices.
    bool single = false;
};

// A round of `upload --watch` (RunUploadWatch): the files that changed since the round before
// (none in round 1), the image built (none when the build failed) and what came of it.
struct WatchRound {
    int number = 0;
    std::vector<std::string> changed;
    std::vector<std::string> added;
    std::vector<std::string> removed;
    std::optional<UploadImageInfo> image;
    bool ok = false;
    bool sent = false;
    std::string message;                   // "Web Server Update OK!", "build failed: ...", ...
    std::vector<DeviceRunReport> reports;  // of the devices it was sent to
    int paceMs = 0;
};

// How a watch ended: after `rounds` rounds, with the last round's status or the end's own.
struct WatchEnd {
    bool ok = false;
    int rounds = 0;
    std::size_t devices = 0;
    bool interrupted = false;
    std::string message;     // "watch ended", "upload interrupted", "FOLDER: the watched ..."
    std::string sentSha256;  // of the image every device was last sent, if any
    int paceMs = 0;
};

// Everything `upload` reports on standard output, as text or as JSON Lines (--json): one of each
// kind, chosen once when the command starts (MakeUploadReporter). Errors found before anything
// is sent are said on standard error where they are found, in both; the reporter adds what its
// kind says of them.
class UploadReporter {
  public:
    virtual ~UploadReporter() = default;

    // --dry-run of a web folder: `pack`'s report of it. Returns the exit code.
    virtual int FolderFacts(const std::string& folder, const packer::PackLimits& limits,
                            const packer::BuildOptions& build, int paceMs) = 0;
    // --dry-run of an image file: what it holds, as `pack` reports a folder.
    virtual void ImageFacts(const PreparedImage& prepared, int paceMs) = 0;
    // Nothing was sent to any of the `devices` asked for: `message` (and `cause`, when known);
    // `interrupted` when a signal came first.
    virtual void Refused(std::size_t devices, const std::string& message, const std::string& cause,
                         bool interrupted) = 0;
    // --skip-current left nothing to send: a line per device and the result.
    virtual void AllSkipped(const std::vector<SkippedDevice>& skipped,
                            const UploadImageInfo& image) = 0;
    // The upload of `plan` starts: where its events go, until Finish.
    virtual UploadEvents& Start(const UploadPlan& plan) = 0;
    // The upload is over: the summary of every device's report, in the plan's order.
    virtual void Finish(const std::vector<DeviceRunReport>& reports) = 0;
    // --watch: a round is over. Its upload's events (which the watch prints itself) tell only
    // what goes wrong; this is its line, or its "round" event.
    virtual void Round(const WatchRound& round) = 0;
    // --watch is over (its line on stderr already said): with --json, the final "result".
    virtual void WatchEnded(const WatchEnd& end) = 0;

  protected:
    // Shared by both kinds: the skipped devices through a printer of `mode` (its own errors go
    // nowhere), then its result.
    static void PrintAllSkipped(FleetPrinter::Mode mode, const CommandContext& context,
                                const std::vector<SkippedDevice>& skipped,
                                const UploadImageInfo& image);
    // How a one-device upload ends on the errors, in text and with --json alike: an
    // interruption in its own words, a failure by the line with its cause.
    static void PrintEndOnErr(const std::string& label, const DeviceRunReport& report,
                              std::ostream& err);
};

// The text reporter, or with `json` the JSON Lines one, writing through `context`.
std::unique_ptr<UploadReporter> MakeUploadReporter(bool json, const CommandContext& context);

}  // namespace cli
