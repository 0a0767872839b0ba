#include "cli/fleet_printer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <QJsonObject>
#include <QString>

#include "cli/trace_report.h"
#include "transfer/upload_sequencer.h"

namespace cli {

namespace {

constexpr char kCursorUpFormat[] = "\x1b[%zuA";  // moves the cursor up N lines
constexpr char kClearLine[] = "\r\x1b[2K";
constexpr char kStoppedText[] = "stopped";
constexpr std::size_t kColumnGap = 2;

std::string Seconds(std::int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::string Frames(int taken, int total) {
    return std::to_string(taken) + "/" + std::to_string(total);
}

std::string PadRight(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

// A float times 100 is exact in a double, and nearbyint rounds a tie to even, as printf does.
std::string PercentText(float percent) {
    const double hundredths = std::nearbyint(static_cast<double>(percent) * 100.0);
    if (std::signbit(hundredths) || !(hundredths < 1e15)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f%%", static_cast<double>(percent));
        return text;
    }
    const auto value = static_cast<long long>(hundredths);
    std::string text = std::to_string(value / 100);
    text += '.';
    text += static_cast<char>('0' + value / 10 % 10);
    text += static_cast<char>('0' + value % 10);
    text += '%';
    return text;
}

std::int64_t EstimatedMsLeft(int framesTaken, int totalFrames, int paceMs) {
    const int left = totalFrames - framesTaken;
    return static_cast<std::int64_t>(left + 1) * paceMs;
}

void WriteUploadRefused(JsonLines& json, int devices, const std::string& message,
                        const std::string& cause, bool interrupted) {
    QJsonObject result{
        {"ok", false},       {"devices", devices},         {"succeeded", 0},
        {"failed", devices}, {"interrupted", interrupted}, {"message", Text(message)}};
    if (!cause.empty()) {
        result.insert("cause", Text(cause));
    }
    json.Write("result", result);
}

FleetPrinter::FleetPrinter(Mode mode, std::vector<DeviceAddress> devices,
                           const CommandContext& context)
    : mode_(mode),
      out_(context.Out()),
      err_(context.Err()),
      verbosity_(context.GetVerbosity()),
      json_(context.Out()) {
    for (const auto& device : devices) {
        Row row;
        row.label = device.Label();
        labelWidth_ = std::max(labelWidth_, row.label.size());
        rows_.push_back(std::move(row));
    }
}

std::string FleetPrinter::ResultText(const DeviceRunReport& report) {
    if (report.interrupted) {
        return kInterruptedText;
    }
    if (report.stopped) {
        return kStoppedText;
    }
    return report.message;
}

std::string FleetPrinter::CauseLine(const std::string& target, const std::string& cause) {
    return "vellumix-cli: " + target + ": " + cause;
}

std::string FleetPrinter::RetryLine(const std::string& target, int attempt, int attempts,
                                    int pauseMs) {
    return CauseLine(target, "try " + std::to_string(attempt + 1) + " of " +
                                 std::to_string(attempts) + " in " + Seconds(pauseMs));
}

void FleetPrinter::Progress(int index, float percent, int framesTaken, int totalFrames) {
    Row& row = rows_.at(static_cast<std::size_t>(index));
    row.percent = percent;
    row.framesTaken = framesTaken;
    row.totalFrames = totalFrames;
    row.state = "sending";
    dirty_ = true;
    switch (mode_) {
        case Mode::Terminal:
            break;
        case Mode::Lines: {
            const int whole = static_cast<int>(percent);
            if (whole != row.lastWhole && !Quiet()) {
                row.lastWhole = whole;
                std::string line = row.label;
                line += " progress ";
                line += PercentText(percent);
                line += " (";
                line += Frames(framesTaken, totalFrames);
                line += " frames)";
                out_ << line;
                EndLine();
            }
            break;
        }
        case Mode::Json:
            json_.Write(
                "progress",
                QJsonObject{{"device", Text(row.label)},
                            {"percent", std::round(static_cast<double>(percent) * 100.0) / 100.0},
                            {"frames_taken", framesTaken},
                            {"total_frames", totalFrames},
                            {"estimated_ms_left", static_cast<qint64>(EstimatedMsLeft(
                                                      framesTaken, totalFrames, paceMs_))}});
            break;
    }
}

void FleetPrinter::Attempt(int index, int attempt, int attempts, int pauseMs,
                           const std::string& message, const std::string& cause) {
    Row& row = rows_.at(static_cast<std::size_t>(index));
    row.state =
        "waiting for try " + std::to_string(attempt + 1) + " of " + std::to_string(attempts);
    dirty_ = true;
    if (mode_ == Mode::Json) {
        QJsonObject event{{"device", Text(row.label)},
                          {"attempt", attempt},
                          {"attempts", attempts},
                          {"pause_ms", static_cast<qint64>(pauseMs)},
                          {"message", Text(message)}};
        if (!cause.empty()) {
            event.insert("cause", Text(cause));
        }
        json_.Write("attempt", event);
        return;
    }
    // The failed try's message and cause stay whole lines; the retry is one line more.
    err_ << row.label << ": " << message << "\n";
    if (!cause.empty()) {
        err_ << CauseLine(row.label, cause) << "\n";
    }
    err_ << RetryLine(row.label, attempt, attempts, pauseMs) << std::endl;
}

void FleetPrinter::Step(int index, const std::string& line) {
    std::ostream& stream = mode_ == Mode::Json ? err_ : out_;
    stream << rows_.at(static_cast<std::size_t>(index)).label << ": " << line << std::endl;
}

void FleetPrinter::Finished(int index, const DeviceRunReport& report) {
    Row& row = rows_.at(static_cast<std::size_t>(index));
    row.state = ResultText(report);
    row.finished = true;
    row.ok = report.ok;
    row.framesTaken = report.framesTaken;
    row.totalFrames = report.totalFrames;
    dirty_ = true;
    switch (mode_) {
        case Mode::Terminal:
            break;
        case Mode::Lines:
            if (!report.ok || !Quiet()) {
                out_ << row.label << ": " << row.state;
                EndLine();
            }
            break;
        case Mode::Json: {
            QJsonObject event{{"device", Text(row.label)},
                              {"ok", report.ok},
                              {"message", Text(ResultText(report))},
                              {"attempts", report.attempts},
                              {"interrupted", report.interrupted},
                              {"stopped", report.stopped},
                              {"elapsed_ms", static_cast<qint64>(report.elapsedMs)},
                              {"frames_taken", report.framesTaken},
                              {"total_frames", report.totalFrames},
                              {"pace_ms", paceMs_}};
            if (!report.cause.empty()) {
                event.insert("cause", Text(report.cause));
            }
            json_.Write("device_result", event);
            break;
        }
    }
}

void FleetPrinter::Skipped(const std::string& label, const std::string& since) {
    ++skipped_;
    if (mode_ == Mode::Json) {
        json_.Write("device_result", QJsonObject{{"device", Text(label)},
                                                 {"ok", true},
                                                 {"skipped", true},
                                                 {"message", "current"},
                                                 {"uploaded_at", Text(since)}});
    } else if (!Quiet()) {
        out_ << label << ": skipped, current since " << since << std::endl;
    }
}

std::string FleetPrinter::FormatRow(const Row& row) const {
    return PadRight(row.label, labelWidth_ + kColumnGap) + PadRight(PercentText(row.percent), 9) +
           row.state;
}

std::vector<std::string> FleetPrinter::SummaryLines() const {
    std::size_t connecting = 0;
    std::size_t sending = 0;
    std::size_t waiting = 0;
    std::size_t succeeded = 0;
    std::vector<const Row*> running;
    for (const auto& row : rows_) {
        if (row.finished) {
            succeeded += row.ok ? 1 : 0;
            continue;
        }
        running.push_back(&row);
        if (row.state == "connecting") {
            ++connecting;
        } else if (row.state == "sending") {
            ++sending;
        } else {
            ++waiting;
        }
    }
    const std::size_t finished = rows_.size() - running.size();
    std::vector<std::string> lines;
    lines.push_back(std::to_string(rows_.size()) + " devices: " + std::to_string(connecting) +
                    " connecting, " + std::to_string(sending) + " sending, " +
                    std::to_string(waiting) + " waiting to retry, " + std::to_string(succeeded) +
                    " succeeded, " + std::to_string(finished - succeeded) + " failed");
    const std::size_t shown = std::min(kSlowestShown, running.size());
    std::partial_sort(running.begin(), running.begin() + static_cast<std::ptrdiff_t>(shown),
                      running.end(),
                      [](const Row* a, const Row* b) { return a->percent < b->percent; });
    lines.push_back(shown > 0 ? "slowest:" : "");
    for (std::size_t i = 0; i < kSlowestShown; ++i) {
        lines.push_back(i < shown ? FormatRow(*running[i]) : "");
    }
    return lines;
}

void FleetPrinter::EndLine() {
    out_ << '\n';
    if (rows_.size() <= kMostDrawnRows) {
        out_.flush();
    }
}

void FleetPrinter::Render() {
    if (mode_ == Mode::Lines) {
        out_.flush();
    }
    if (mode_ != Mode::Terminal || !dirty_ || Quiet()) {
        return;
    }
    if (drawnLines_ > 0) {
        char up[32];
        std::snprintf(up, sizeof up, kCursorUpFormat, drawnLines_);
        out_ << up;
    }
    if (rows_.size() > kMostDrawnRows) {
        const std::vector<std::string> lines = SummaryLines();
        for (const auto& line : lines) {
            out_ << kClearLine << line << "\n";
        }
        drawnLines_ = lines.size();
    } else {
        for (const auto& row : rows_) {
            out_ << kClearLine << FormatRow(row) << "\n";
        }
        drawnLines_ = rows_.size();
    }
    out_.flush();
    dirty_ = false;
}

void FleetPrinter::PrintTable(const std::vector<DeviceRunReport>& reports) {
    std::size_t resultWidth = std::string("result").size();
    for (const auto& report : reports) {
        resultWidth = std::max(resultWidth, ResultText(report).size());
    }
    const std::size_t deviceWidth = std::max(labelWidth_, std::string("device").size());
    auto line = [&](const std::string& device, const std::string& result, const std::string& frames,
                    const std::string& time) {
        out_ << PadRight(device, deviceWidth + kColumnGap)
             << PadRight(result, resultWidth + kColumnGap) << PadRight(frames, 9) << time << "\n";
    };
    line("device", "result", "frames", "time");
    for (const auto& report : reports) {
        line(report.device.Label(), ResultText(report),
             Frames(report.framesTaken, report.totalFrames), Seconds(report.elapsedMs));
    }
}

void FleetPrinter::Summary(const std::vector<DeviceRunReport>& reports) {
    Render();
    int succeeded = 0;
    int interrupted = 0;
    for (const auto& report : reports) {
        succeeded += report.ok ? 1 : 0;
        interrupted += report.interrupted ? 1 : 0;
    }
    const int failed = static_cast<int>(reports.size()) - succeeded;
    if (mode_ == Mode::Json) {
        for (const auto& report : reports) {
            if (report.trace) {
                PrintAckTraceJson(*report.trace, report.device.Label(), json_);
            }
        }
        QJsonObject result{{"ok", failed == 0},
                           {"sha256", Text(image_.sha256)},
                           {"image_bytes", static_cast<qint64>(image_.imageBytes)},
                           {"devices", static_cast<int>(reports.size())},
                           {"succeeded", succeeded},
                           {"failed", failed},
                           {"interrupted", interrupted > 0},
                           {"pace_ms", paceMs_}};
        if (skipped_ > 0) {
            result.insert("skipped", skipped_);
        }
        if (reports.size() == 1) {
            // One device: its result is the upload's, message and cause included.
            result.insert("message", Text(ResultText(reports.front())));
            if (!reports.front().cause.empty()) {
                result.insert("cause", Text(reports.front().cause));
            }
        } else if (failed > 0) {
            result.insert("message", Text(std::to_string(failed) + " of " +
                                          std::to_string(reports.size()) + " devices failed"));
        }
        json_.Write("result", result);
    } else {
        if (!Quiet() && !reports.empty()) {  // none when --skip-current left none to send
            PrintTable(reports);
        }
        for (const auto& report : reports) {
            if (report.trace) {
                PrintAckTrace(*report.trace, report.device.Label(), out_);
            }
        }
        if (!Quiet()) {
            out_ << "image sha256: " << image_.sha256 << " (" << image_.imageBytes << " bytes)\n";
            out_ << reports.size() << " devices: " << succeeded << " succeeded, " << failed
                 << " failed" << (skipped_ > 0 ? ", " + std::to_string(skipped_) + " skipped" : "")
                 << "\n";
        }
        out_.flush();
    }
    for (const auto& report : reports) {
        if (!report.ok) {
            err_ << report.device.Label() << ": " << ResultText(report) << "\n";
            if (!report.cause.empty()) {
                err_ << CauseLine(report.device.Label(), report.cause) << "\n";
            }
        }
    }
    err_.flush();
}

}  // namespace cli
