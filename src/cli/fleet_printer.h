#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/command_context.h"
#include "cli/device_list.h"
#include "cli/device_run_report.h"
#include "cli/output.h"
#include "cli/upload_events.h"
#include "transfer/upload_sequencer.h"

namespace cli {

// The image an upload sends, as the result names it.
struct UploadImageInfo {
    std::string sha256;           // of the bytes sent, lower-case hex
    std::int64_t imageBytes = 0;  // bytes sent (usedLength, or the whole image file)
};

// The output of an upload, one row or line per device.
//   Terminal: a block of rows "ADDRESS  PERCENT  STATE" redrawn in place (Render); above
//             kMostDrawnRows devices a summary in their stead: the count of devices per state
//             and the rows of the kSlowestShown slowest devices still running.
//   Lines:    "ADDRESS progress P% (T/N frames)" per whole per cent, "ADDRESS: MESSAGE" per
//             result; each line flushed at once, above kMostDrawnRows devices at each Render.
//   Json:     JSON Lines (schema 1, every event with "device"): "progress" per frame taken,
//             "attempt" before each retry, "device_result" per device, the traces, and one
//             final "result". Used for a single device too.
// Then the summary: a table ADDRESS / RESULT / FRAMES / TIME, the image's SHA-256 and a count
// line. Failures are repeated on `err` as "ADDRESS: MESSAGE", each followed by the line
// "vellumix-cli: ADDRESS: CAUSE" when the cause is known. Quiet prints failures only (and the
// JSON, which was asked for).
class FleetPrinter : public UploadEvents {
  public:
    enum class Mode { Terminal, Lines, Json };

    // More devices than fit a common terminal are summarised, not drawn row by row.
    static constexpr std::size_t kMostDrawnRows = 20;
    static constexpr std::size_t kSlowestShown = 5;

    // Writes to the context's output and errors (`out` and `err` below) at its verbosity.
    FleetPrinter(Mode mode, std::vector<DeviceAddress> devices, const CommandContext& context);

    void SetImage(UploadImageInfo image) { image_ = std::move(image); }
    // The least time between two frames: the estimates use it, the JSON results name it.
    void SetPace(int paceMs) { paceMs_ = paceMs; }

    void Progress(int index, float percent, int framesTaken, int totalFrames) override;
    // Try `attempt` of device `index` failed with `message` (and `cause`); the next of at most
    // `attempts` follows after `pauseMs`. Text: the message and cause lines, then
    // "vellumix-cli: ADDRESS: try A of N in S s" (on `err`).
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override;
    void Finished(int index, const DeviceRunReport& report) override;
    // With -v: "ADDRESS: STEP" per step, on `out` (on `err` in Json mode).
    bool WantsSteps() const override { return Verbose(); }
    void Step(int index, const std::string& line) override;
    // Redraws the rows when something changed (Terminal only; the others print at once).
    void Render() override;
    // Ends the rows and prints the summary of every report (in device order), the traces,
    // and the result.
    void Summary(const std::vector<DeviceRunReport>& reports);

    // A device that --skip-current left out, before the others start: "ADDRESS: skipped,
    // current since WHEN" (Json: a "device_result" with "skipped": true). The result counts it.
    void Skipped(const std::string& label, const std::string& since);

    // "Web Server Update OK!", the failure's message, "stopped" or "upload interrupted".
    static std::string ResultText(const DeviceRunReport& report);
    // The line that follows a message to tell its cause: "vellumix-cli: TARGET: CAUSE".
    static std::string CauseLine(const std::string& target, const std::string& cause);
    // After try `attempt` failed: "vellumix-cli: TARGET: try A+1 of N in S s".
    static std::string RetryLine(const std::string& target, int attempt, int attempts, int pauseMs);

  private:
    struct Row {
        std::string label;
        float percent = 0.0f;
        int framesTaken = 0;
        int totalFrames = 0;
        int lastWhole = -1;
        std::string state = "connecting";
        bool finished = false;
        bool ok = false;
    };

    bool Quiet() const { return verbosity_ == Verbosity::kQuiet; }
    bool Verbose() const { return verbosity_ == Verbosity::kVerbose; }
    // Ends a progress or result line of Lines mode.
    void EndLine();
    std::string FormatRow(const Row& row) const;
    // The lines Render draws above kMostDrawnRows devices (always 2 + kSlowestShown).
    std::vector<std::string> SummaryLines() const;
    void PrintTable(const std::vector<DeviceRunReport>& reports);

    Mode mode_;
    std::ostream& out_;
    std::ostream& err_;
    Verbosity verbosity_ = Verbosity::kNormal;
    JsonLines json_;
    UploadImageInfo image_;
    int paceMs_ = transfer::kTimerPeriodMs;
    std::vector<Row> rows_;
    std::size_t labelWidth_ = 0;
    bool dirty_ = true;
    std::size_t drawnLines_ = 0;  // lines on the screen above the cursor (0: none drawn)
    int skipped_ = 0;
};

// The final JSON "result" of an upload that sent nothing because the image could not be built
// or loaded (or the devices could not all be served, or a signal came first): ok false,
// `message`, `cause` when known.
void WriteUploadRefused(JsonLines& json, int devices, const std::string& message,
                        const std::string& cause, bool interrupted = false);

// "7.69%": what printf's "%.2f%%" makes of `percent`, without printf's cost, which the progress
// lines of thousands of devices notice.
std::string PercentText(float percent);

// Estimated time still needed at best: one tick of `paceMs` per frame left, and one that finds
// the queue empty.
std::int64_t EstimatedMsLeft(int framesTaken, int totalFrames,
                             int paceMs = transfer::kTimerPeriodMs);

}  // namespace cli
