#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/command_context.h"
#include "cli/fleet_printer.h"
#include "cli/progress_printer.h"
#include "cli/upload_reporter.h"

namespace cli {

// `upload` in text. One device (UploadPlan::single) reports as the desktop program's Start: the
// image's SHA-256, the share of frames taken (ProgressPrinter), the window's errors on stderr the
// moment they are shown (each followed by a line with its cause once that is known), "Web
// Server Update OK!" on stdout unless quiet, and the trace. Several devices report through a
// FleetPrinter: rows redrawn on a terminal (unless verbose), lines otherwise, then the table.
class TextUploadReporter final : public UploadReporter, private UploadEvents {
  public:
    explicit TextUploadReporter(const CommandContext& context);

    int FolderFacts(const std::string& folder, const packer::PackLimits& limits,
                    const packer::BuildOptions& build, int paceMs) override;
    void ImageFacts(const PreparedImage& prepared, int paceMs) override;
    // Already said on stderr: the text adds nothing.
    void Refused(std::size_t devices, const std::string& message, const std::string& cause,
                 bool interrupted) override;
    void AllSkipped(const std::vector<SkippedDevice>& skipped,
                    const UploadImageInfo& image) override;
    UploadEvents& Start(const UploadPlan& plan) override;
    void Finish(const std::vector<DeviceRunReport>& reports) override;
    // "round 2: index.html changed; sha256 HEX (N bytes): Web Server Update OK!" on stdout (a
    // failed one on stderr when quiet, which leaves out the others).
    void Round(const WatchRound& round) override;
    void WatchEnded(const WatchEnd& end) override;

  private:
    // The events of a single device.
    void Progress(int index, float percent, int framesTaken, int totalFrames) override;
    void Message(int index, const std::string& text, const std::string& caption,
                 unsigned style) override;
    bool WantsSteps() const override { return context_.Verbose(); }
    void Step(int index, const std::string& line) override;
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override;
    void Finished(int index, const DeviceRunReport& report) override;

    CommandContext context_;
    std::string label_;                        // the single device's
    std::optional<ProgressPrinter> progress_;  // a single device's share of frames
    std::optional<FleetPrinter> printer_;      // several devices
};

}  // namespace cli
