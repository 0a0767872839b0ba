#include "cli/text_upload_reporter.h"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "cli/pack_report.h"
#include "cli/trace_report.h"
#include "ledger/ledger.h"
#include "packer/image_reader.h"
#include "platform/message_box.h"
#include "platform/terminal.h"
#include "transfer/frames.h"

namespace cli {

namespace {

// Names a round's line shows; the rest are counted.
constexpr std::size_t kNamesInLine = 5;

// "index.html changed, app.js added, old.css removed and 3 more".
std::string ChangesText(const WatchRound& round) {
    std::vector<std::string> parts;
    for (const auto& [names, word] :
         {std::pair{&round.changed, " changed"}, std::pair{&round.added, " added"},
          std::pair{&round.removed, " removed"}}) {
        for (const auto& name : *names) {
            parts.push_back(name + word);
        }
    }
    if (parts.empty()) {
        return "no file changed";
    }
    std::string text;
    for (std::size_t i = 0; i < std::min(parts.size(), kNamesInLine); ++i) {
        text += (i == 0 ? "" : ", ") + parts[i];
    }
    if (parts.size() > kNamesInLine) {
        text += " and " + std::to_string(parts.size() - kNamesInLine) + " more";
    }
    return text;
}

}  // namespace

TextUploadReporter::TextUploadReporter(const CommandContext& context) : context_(context) {}

int TextUploadReporter::FolderFacts(const std::string& folder, const packer::PackLimits& limits,
                                    const packer::BuildOptions& build, int paceMs) {
    return RunPackReport(folder, limits, false, context_, nullptr, false, build, paceMs);
}

void TextUploadReporter::ImageFacts(const PreparedImage& prepared, int paceMs) {
    const auto& image = *prepared.image;
    const auto directory =
        packer::ReadImageDirectory(image.imageBuffer.data(), image.imageBuffer.size()).directory;
    const std::int64_t frames = transfer::FrameCount(image.usedLength);
    const std::int64_t estimatedMs = EstimatedUploadMs(image.usedLength, paceMs);
    context_.Out() << "entries: " << directory.entries.size() << " of " << directory.entryCount
                   << '\n'
                   << "sha256: " << prepared.info.sha256 << " (" << prepared.info.imageBytes
                   << " bytes)\n"
                   << "upload: " << frames << " frames, about " << FormatSeconds(estimatedMs)
                   << std::endl;
}

void TextUploadReporter::Refused(std::size_t, const std::string&, const std::string&, bool) {}

void TextUploadReporter::AllSkipped(const std::vector<SkippedDevice>& skipped,
                                    const UploadImageInfo& image) {
    PrintAllSkipped(FleetPrinter::Mode::Lines, context_, skipped, image);
}

UploadEvents& TextUploadReporter::Start(const UploadPlan& plan) {
    progress_.reset();
    printer_.reset();
    // Each step of --verbose is a line of its own, so nothing is redrawn in place.
    const bool terminal =
        !context_.Verbose() && platform::IsTerminal(platform::StandardStream::kOutput);
    if (plan.single) {
        if (!context_.Quiet()) {
            context_.Out() << "image sha256: " << plan.image.sha256 << " (" << plan.image.imageBytes
                           << " bytes)" << std::endl;
        }
        label_ = plan.devices.front().Label();
        progress_.emplace(context_, terminal, plan.paceMs);
        return *this;
    }
    printer_.emplace(terminal ? FleetPrinter::Mode::Terminal : FleetPrinter::Mode::Lines,
                     plan.devices, context_);
    printer_->SetImage(plan.image);
    for (const auto& skip : plan.skipped) {
        printer_->Skipped(skip.device.Label(), ledger::FormatUtc(skip.upload.start.startedMs));
    }
    printer_->SetPace(plan.paceMs);
    return *printer_;
}

void TextUploadReporter::Finish(const std::vector<DeviceRunReport>& reports) {
    if (printer_) {
        printer_->Summary(reports);
        return;
    }
    const DeviceRunReport& report = reports.front();
    if (report.trace) {
        PrintAckTrace(*report.trace, label_, context_.Out());
        context_.Out().flush();
    }
}

void TextUploadReporter::Progress(int, float percent, int framesTaken, int totalFrames) {
    progress_->Show(percent, framesTaken, totalFrames);
}

void TextUploadReporter::Message(int, const std::string& text, const std::string&, unsigned style) {
    progress_->Finish();
    if (style == platform::kMbIconHand) {
        context_.Err() << text << std::endl;
    } else if (!context_.Quiet()) {
        context_.Out() << text << std::endl;
    }
}

void TextUploadReporter::Step(int, const std::string& line) {
    progress_->Finish();
    context_.Out() << line << std::endl;
}

void TextUploadReporter::Attempt(int, int attempt, int attempts, int pauseMs, const std::string&,
                                 const std::string& cause) {
    progress_->Finish();
    if (!cause.empty()) {
        context_.Err() << FleetPrinter::CauseLine(label_, cause) << "\n";
    }
    context_.Err() << FleetPrinter::RetryLine(label_, attempt, attempts, pauseMs) << std::endl;
}

void TextUploadReporter::Finished(int, const DeviceRunReport& report) {
    progress_->Finish();
    PrintEndOnErr(label_, report, context_.Err());
}

void TextUploadReporter::Round(const WatchRound& round) {
    if (context_.Quiet() && round.ok) {
        return;
    }
    std::ostream& out = round.ok || !context_.Quiet() ? context_.Out() : context_.Err();
    out << "round " << round.number << ": "
        << (round.number == 1 ? "first build" : ChangesText(round));
    if (round.image) {
        out << "; sha256 " << round.image->sha256 << " (" << round.image->imageBytes << " bytes)";
    }
    out << ": " << round.message << std::endl;
}

void TextUploadReporter::WatchEnded(const WatchEnd&) {}

}  // namespace cli
