#include "cli/fleet_printer.h"

#include <algorithm>
#include <cstdio>

#include <QJsonDocument>
#include <QJsonObject>

namespace cli {

namespace {

constexpr char kCursorUpFormat[] = "\x1b[%zuA";  // moves the cursor up N lines
constexpr char kClearLine[] = "\r\x1b[2K";
constexpr char kStoppedText[] = "stopped";
constexpr std::size_t kColumnGap = 2;

std::string Percent(float percent) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2f%%", static_cast<double>(percent));
    return text;
}

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

void PrintJson(const QJsonObject& object, std::ostream& out) {
    out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

}  // namespace

FleetPrinter::FleetPrinter(Mode mode, std::vector<DeviceAddress> devices, std::ostream& out,
                           std::ostream& err)
    : mode_(mode), out_(out), err_(err) {
    for (const auto& device : devices) {
        Row row;
        row.label = device.Label();
        labelWidth_ = std::max(labelWidth_, row.label.size());
        rows_.push_back(std::move(row));
    }
}

std::string FleetPrinter::ResultText(const DeviceRunReport& report) {
    if (report.stopped) {
        return kStoppedText;
    }
    return report.message;
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
            if (whole != row.lastWhole) {
                row.lastWhole = whole;
                out_ << row.label << " progress " << Percent(percent) << " ("
                     << Frames(framesTaken, totalFrames) << " frames)" << std::endl;
            }
            break;
        }
        case Mode::Json:
            PrintJson(QJsonObject{{"event", "progress"},
                                  {"device", QString::fromStdString(row.label)},
                                  {"percent", static_cast<double>(percent)},
                                  {"frames_taken", framesTaken},
                                  {"total_frames", totalFrames}},
                      out_);
            break;
    }
}

void FleetPrinter::Attempt(int index, int attempt, int attempts, int pauseMs,
                           const std::string& message, const std::string& cause) {
    Row& row = rows_.at(static_cast<std::size_t>(index));
    row.state = "retrying";
    dirty_ = true;
    if (mode_ == Mode::Json) {
        PrintJson(QJsonObject{{"event", "attempt"},
                              {"device", QString::fromStdString(row.label)},
                              {"attempt", attempt},
                              {"attempts", attempts},
                              {"pause_ms", pauseMs},
                              {"message", QString::fromStdString(message)},
                              {"cause", QString::fromStdString(cause)}},
                  out_);
        return;
    }
    err_ << row.label << ": attempt " << attempt << " of " << attempts << " failed: " << message
         << (cause.empty() ? "" : " (" + cause + ")") << "; trying again in " << Seconds(pauseMs)
         << std::endl;
}

void FleetPrinter::Finished(int index, const DeviceRunReport& report) {
    Row& row = rows_.at(static_cast<std::size_t>(index));
    row.state = ResultText(report);
    row.framesTaken = report.framesTaken;
    row.totalFrames = report.totalFrames;
    dirty_ = true;
    switch (mode_) {
        case Mode::Terminal:
            break;
        case Mode::Lines:
            out_ << row.label << ": " << row.state << std::endl;
            break;
        case Mode::Json:
            PrintJson(QJsonObject{{"event", "result"},
                                  {"device", QString::fromStdString(row.label)},
                                  {"ok", report.ok},
                                  {"stopped", report.stopped},
                                  {"message", QString::fromStdString(report.message)},
                                  {"frames_taken", report.framesTaken},
                                  {"total_frames", report.totalFrames},
                                  {"ms", static_cast<qint64>(report.elapsedMs)}},
                      out_);
            break;
    }
}

std::string FleetPrinter::FormatRow(const Row& row) const {
    return PadRight(row.label, labelWidth_ + kColumnGap) + PadRight(Percent(row.percent), 9) +
           row.state;
}

void FleetPrinter::Render() {
    if (mode_ != Mode::Terminal || !dirty_) {
        return;
    }
    if (drawn_) {
        char up[32];
        std::snprintf(up, sizeof up, kCursorUpFormat, rows_.size());
        out_ << up;
    }
    for (const auto& row : rows_) {
        out_ << kClearLine << FormatRow(row) << "\n";
    }
    out_.flush();
    drawn_ = true;
    dirty_ = false;
}

void FleetPrinter::Summary(const std::vector<DeviceRunReport>& reports) {
    Render();
    int succeeded = 0;
    for (const auto& report : reports) {
        succeeded += report.ok ? 1 : 0;
    }
    const int failed = static_cast<int>(reports.size()) - succeeded;
    if (mode_ == Mode::Json) {
        PrintJson(QJsonObject{{"event", "summary"},
                              {"ok", failed == 0},
                              {"devices", static_cast<int>(reports.size())},
                              {"succeeded", succeeded},
                              {"failed", failed}},
                  out_);
    } else {
        std::size_t resultWidth = std::string("result").size();
        for (const auto& report : reports) {
            resultWidth = std::max(resultWidth, ResultText(report).size());
        }
        const std::size_t deviceWidth = std::max(labelWidth_, std::string("device").size());
        auto line = [&](const std::string& device, const std::string& result,
                        const std::string& frames, const std::string& time) {
            out_ << PadRight(device, deviceWidth + kColumnGap)
                 << PadRight(result, resultWidth + kColumnGap) << PadRight(frames, 9) << time
                 << "\n";
        };
        line("device", "result", "frames", "time");
        for (const auto& report : reports) {
            line(report.device.Label(), ResultText(report),
                 Frames(report.framesTaken, report.totalFrames), Seconds(report.elapsedMs));
        }
        out_ << reports.size() << " devices: " << succeeded << " succeeded, " << failed << " failed"
             << std::endl;
    }
    for (const auto& report : reports) {
        if (!report.ok) {
            err_ << report.device.Label() << ": " << ResultText(report) << std::endl;
        }
    }
}

}  // namespace cli
