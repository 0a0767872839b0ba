#pragma once

#include <ostream>
#include <string>

#include "cli/command_context.h"
#include "transfer/upload_sequencer.h"

namespace cli {

// `ms` in seconds with one decimal: "12.3 s".
std::string FormatSeconds(long long ms);

// Shows the share of frames one device took as the window's bar does: a redrawn line on a
// terminal, a line per whole per cent otherwise; on the context's output, nothing when quiet.
class ProgressPrinter {
  public:
    // `terminal`: redraw one line in place. The time left is estimated at `paceMs` a frame.
    explicit ProgressPrinter(const CommandContext& context, bool terminal, int paceMs);

    void Show(float percent, int framesTaken, int totalFrames);
    // Ends a terminal progress line before other output.
    void Finish();

  private:
    std::ostream& out_;
    bool quiet_ = false;
    bool terminal_ = false;
    int paceMs_ = transfer::kTimerPeriodMs;
    int lastFrames_ = -1;
    int lastWhole_ = -1;
    bool lineOpen_ = false;
};

}  // namespace cli
