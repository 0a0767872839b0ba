#include "cli/progress_printer.h"

#include <cstdio>

#include "cli/fleet_printer.h"

namespace cli {

std::string FormatSeconds(long long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

ProgressPrinter::ProgressPrinter(const CommandContext& context, bool terminal, int paceMs)
    : out_(context.Out()), quiet_(context.Quiet()), terminal_(terminal), paceMs_(paceMs) {}

void ProgressPrinter::Show(float percent, int framesTaken, int totalFrames) {
    if (totalFrames <= 0 || quiet_) {
        return;  // the reset before the frames exist
    }
    const long long left = EstimatedMsLeft(framesTaken, totalFrames, paceMs_);
    char number[16];
    std::snprintf(number, sizeof number, "%.2f", static_cast<double>(percent));
    if (terminal_) {
        if (framesTaken == lastFrames_) {
            return;
        }
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(percent / 100.0f * kWidth);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(kWidth, ' ');
        out_ << "\r[" << bar << "] " << number << "%  " << framesTaken << "/" << totalFrames
             << " frames  ~" << FormatSeconds(left) << " left  " << std::flush;
        lineOpen_ = true;
    } else {
        const int whole = static_cast<int>(percent);
        if (whole == lastWhole_) {
            return;
        }
        lastWhole_ = whole;
        out_ << "progress " << number << "% (" << framesTaken << "/" << totalFrames << " frames, ~"
             << FormatSeconds(left) << " left)" << std::endl;
    }
    lastFrames_ = framesTaken;
}

void ProgressPrinter::Finish() {
    if (lineOpen_) {
        out_ << std::endl;
        lineOpen_ = false;
    }
}

}  // namespace cli
