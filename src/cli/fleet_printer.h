#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/device_list.h"
#include "cli/device_run_report.h"
#include "cli/upload_events.h"

namespace cli {

// The output of an upload to several devices, one row or line per device.
//   Terminal: a block of rows "ADDRESS  PERCENT  STATE" redrawn in place (Render).
//   Lines:    "ADDRESS progress P% (T/N frames)" per whole per cent, "ADDRESS: MESSAGE" per
//             result.
//   Json:     one object per progress step and per result, each with "device".
// Then the summary: a table ADDRESS / RESULT / FRAMES / TIME and a count line, or a JSON
// summary object. Failures are repeated on `err` as "ADDRESS: MESSAGE".
class FleetPrinter : public UploadEvents {
  public:
    enum class Mode { Terminal, Lines, Json };

    FleetPrinter(Mode mode, std::vector<DeviceAddress> devices, std::ostream& out,
                 std::ostream& err);

    void Progress(int index, float percent, int framesTaken, int totalFrames) override;
    // "ADDRESS: attempt A of N failed: MESSAGE (CAUSE); trying again in S" (on `err` too).
    void Attempt(int index, int attempt, int attempts, int pauseMs, const std::string& message,
                 const std::string& cause) override;
    void Finished(int index, const DeviceRunReport& report) override;
    // Redraws the rows when something changed (Terminal only; the others print at once).
    void Render() override;
    // Ends the rows and prints the summary of every report (in device order).
    void Summary(const std::vector<DeviceRunReport>& reports);

    // "Web Server Update OK!", the failure's message, "stopped" or "upload interrupted".
    static std::string ResultText(const DeviceRunReport& report);

  private:
    struct Row {
        std::string label;
        float percent = 0.0f;
        int framesTaken = 0;
        int totalFrames = 0;
        int lastWhole = -1;
        std::string state = "connecting";
    };

    std::string FormatRow(const Row& row) const;

    Mode mode_;
    std::ostream& out_;
    std::ostream& err_;
    std::vector<Row> rows_;
    std::size_t labelWidth_ = 0;
    bool dirty_ = true;
    bool drawn_ = false;  // the rows are on the screen (the cursor is below them)
};

}  // namespace cli
