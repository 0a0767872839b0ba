#include "cli/json_upload_reporter.h"

#include <cstdint>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include "cli/output.h"
#include "cli/pack_report.h"
#include "ledger/ledger.h"
#include "packer/image_reader.h"
#include "platform/message_box.h"
#include "transfer/frames.h"

namespace cli {

namespace {

QJsonArray JsonNames(const std::vector<std::string>& names) {
    QJsonArray array;
    for (const auto& name : names) {
        array.append(QString::fromStdString(name));
    }
    return array;
}

}  // namespace

JsonUploadReporter::JsonUploadReporter(const CommandContext& context)
    : context_(context), json_(context.Out()) {}

int JsonUploadReporter::FolderFacts(const std::string& folder, const packer::PackLimits& limits,
                                    const packer::BuildOptions& build, int paceMs) {
    return RunPackReport(folder, limits, true, context_, nullptr, false, build, paceMs);
}

void JsonUploadReporter::ImageFacts(const PreparedImage& prepared, int paceMs) {
    const auto& image = *prepared.image;
    const auto directory =
        packer::ReadImageDirectory(image.imageBuffer.data(), image.imageBuffer.size()).directory;
    const std::int64_t frames = transfer::FrameCount(image.usedLength);
    const std::int64_t estimatedMs = EstimatedUploadMs(image.usedLength, paceMs);
    for (const auto& entry : directory.entries) {
        QJsonObject file{{"offset", static_cast<qint64>(entry.offset)},
                         {"size", static_cast<qint64>(entry.size)}};
        PutName(file, entry.name);
        json_.Write("file", file);
    }
    QJsonObject result{{"ok", true},
                       {"entries_used", static_cast<qint64>(directory.entries.size())},
                       {"entry_count", directory.entryCount},
                       {"image_bytes", static_cast<qint64>(prepared.info.imageBytes)},
                       {"sha256", QString::fromStdString(prepared.info.sha256)},
                       {"frames", static_cast<qint64>(frames)},
                       {"estimated_ms", static_cast<qint64>(estimatedMs)},
                       {"pace_ms", paceMs}};
    PutName(result, prepared.label, "image");
    json_.Write("result", result);
}

void JsonUploadReporter::Refused(std::size_t devices, const std::string& message,
                                 const std::string& cause, bool interrupted) {
    WriteUploadRefused(json_, static_cast<int>(devices), message, cause, interrupted);
}

void JsonUploadReporter::AllSkipped(const std::vector<SkippedDevice>& skipped,
                                    const UploadImageInfo& image) {
    PrintAllSkipped(FleetPrinter::Mode::Json, context_, skipped, image);
}

UploadEvents& JsonUploadReporter::Start(const UploadPlan& plan) {
    printer_.emplace(FleetPrinter::Mode::Json, plan.devices,
                     plan.single ? context_.WithErr(discard_) : context_);
    printer_->SetImage(plan.image);
    for (const auto& skip : plan.skipped) {
        printer_->Skipped(skip.device.Label(), ledger::FormatUtc(skip.upload.start.startedMs));
    }
    printer_->SetPace(plan.paceMs);
    if (plan.single) {
        label_ = plan.devices.front().Label();
        return *this;
    }
    return *printer_;
}

void JsonUploadReporter::Finish(const std::vector<DeviceRunReport>& reports) {
    printer_->Summary(reports);
}

void JsonUploadReporter::Progress(int index, float percent, int framesTaken, int totalFrames) {
    printer_->Progress(index, percent, framesTaken, totalFrames);
}

void JsonUploadReporter::Message(int, const std::string& text, const std::string&, unsigned style) {
    if (style == platform::kMbIconHand) {
        context_.Err() << text << std::endl;
    }
}

void JsonUploadReporter::Step(int, const std::string& line) {
    context_.Err() << line << std::endl;
}

void JsonUploadReporter::Attempt(int index, int attempt, int attempts, int pauseMs,
                                 const std::string& message, const std::string& cause) {
    printer_->Attempt(index, attempt, attempts, pauseMs, message, cause);
    if (!cause.empty()) {
        context_.Err() << FleetPrinter::CauseLine(label_, cause) << std::endl;
    }
}

void JsonUploadReporter::Finished(int index, const DeviceRunReport& report) {
    printer_->Finished(index, report);
    PrintEndOnErr(label_, report, context_.Err());
}

void JsonUploadReporter::Round(const WatchRound& round) {
    QJsonObject event{{"round", round.number},
                      {"changed", JsonNames(round.changed)},
                      {"added", JsonNames(round.added)},
                      {"removed", JsonNames(round.removed)},
                      {"ok", round.ok},
                      {"sent", round.sent},
                      {"message", QString::fromStdString(round.message)},
                      {"pace_ms", round.paceMs}};
    if (round.image) {
        event.insert("sha256", QString::fromStdString(round.image->sha256));
        event.insert("image_bytes", static_cast<qint64>(round.image->imageBytes));
    }
    QJsonArray devices;
    for (const auto& report : round.reports) {
        QJsonObject device{{"device", QString::fromStdString(report.device.Label())},
                           {"ok", report.ok},
                           {"message", QString::fromStdString(FleetPrinter::ResultText(report))},
                           {"elapsed_ms", static_cast<qint64>(report.elapsedMs)}};
        if (!report.cause.empty()) {
            device.insert("cause", QString::fromStdString(report.cause));
        }
        devices.append(device);
    }
    event.insert("device_results", devices);
    json_.Write("round", event);
}

void JsonUploadReporter::WatchEnded(const WatchEnd& end) {
    QJsonObject result{{"ok", end.ok},
                       {"rounds", end.rounds},
                       {"devices", static_cast<int>(end.devices)},
                       {"interrupted", end.interrupted},
                       {"message", QString::fromStdString(end.message)},
                       {"pace_ms", end.paceMs}};
    if (!end.sentSha256.empty()) {
        result.insert("sha256", QString::fromStdString(end.sentSha256));
    }
    json_.Write("result", result);
}

}  // namespace cli
