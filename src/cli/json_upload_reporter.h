#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/command_context.h"
#include "cli/fleet_printer.h"
#include "cli/output.h"
#include "cli/upload_reporter.h"

namespace cli {

// `upload --json`: JSON Lines on stdout (schema 1) through a FleetPrinter, for one device and
// many alike, and a "result" with ok false when nothing was sent. On stderr goes what the text
// shows there: with one device the window's error messages as they come, each with its cause
// line, and the steps of -v.
class JsonUploadReporter final : public UploadReporter, private UploadEvents {
  public:
    explicit JsonUploadReporter(const CommandContext& context);

    int FolderFacts(const std::string& folder, const packer::PackLimits& limits,
                    const packer::BuildOptions& build, int paceMs) override;
    void ImageFacts(const PreparedImage& prepared, int paceMs) override;
    void Refused(std::size_t devices, const std::string& message, const std::string& cause,
                 bool interrupted) override;
    void AllSkipped(const std::vector<SkippedDevice>& skipped,
                    const UploadImageInfo& image) override;
    UploadEvents& Start(const UploadPlan& plan) override;
    void Finish(const std::vector<DeviceRunReport>& reports) override;
    // A "round" event per round, then one "result": all of a watch's lines through one writer,
    // so that only its first names the schema.
    void Round(const WatchRound& round) override;
    void WatchEnded(const WatchEnd& end) override;

  private:
    // The events of a single device: the printer's JSON, and the lines on stderr.
    void Progress(int index, float percent, int framesTaken, int totalFrames) override;
    void Message(int index, const std::string& text, const std::string& caption,
                 unsigned style) override;
    bool WantsSteps() const override { return context_.Verbose(); }
    void Step(int index, const std::string& line) override;
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override;
    void Finished(int index, const DeviceRunReport& report) override;

    CommandContext context_;
    JsonLines json_;                 // all but the printer's lines
    std::ostream discard_{nullptr};  // a single device's printer's errors, said by this instead
    std::string label_;              // the single device's
    std::optional<FleetPrinter> printer_;
};

}  // namespace cli
