#include "cli/upload_reporter.h"

#include <ostream>

#include "cli/json_upload_reporter.h"
#include "cli/text_upload_reporter.h"
#include "ledger/ledger.h"

namespace cli {

void UploadReporter::PrintAllSkipped(FleetPrinter::Mode mode, const CommandContext& context,
                                     const std::vector<SkippedDevice>& skipped,
                                     const UploadImageInfo& image) {
    std::ostream discard(nullptr);
    FleetPrinter printer(mode, {}, context.WithErr(discard));
    printer.SetImage(image);
    for (const auto& skip : skipped) {
        printer.Skipped(skip.device.Label(), ledger::FormatUtc(skip.upload.start.startedMs));
    }
    printer.Summary({});
}

void UploadReporter::PrintEndOnErr(const std::string& label, const DeviceRunReport& report,
                                   std::ostream& err) {
    if (report.interrupted) {
        err << FleetPrinter::ResultText(report) << std::endl;
    } else if (!report.ok && !report.cause.empty()) {
        err << FleetPrinter::CauseLine(label, report.cause) << std::endl;
    }
}

std::unique_ptr<UploadReporter> MakeUploadReporter(bool json, const CommandContext& context) {
    if (json) {
        return std::make_unique<JsonUploadReporter>(context);
    }
    return std::make_unique<TextUploadReporter>(context);
}

}  // namespace cli
