#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "app/log_pipe.h"
#include "cli/cli_context.h"
#include "cli/command_context.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/fleet_upload.h"
#include "cli/upload_events.h"
#include "cli/upload_image.h"
#include "cli/upload_ledger.h"
#include "cli/upload_options.h"
#include "cli/upload_reporter.h"
#include "cli/upload_send.h"
#include "cli/upload_watch.h"
#include "platform/interrupt_signals_qt.h"

namespace cli {

namespace {

struct QtApplication {
    int argc = 1;
    char name[16] = "vellumix-cli";
    char* argv[2] = {name, nullptr};
    QCoreApplication application{argc, argv};
};

// One upload as the command makes it: the devices and limits of `options`, the image of its
// SOURCE prepared, sent to the devices (unless --dry-run or --skip-current leaves nothing to
// do) and everything reported through `reporter`; with --watch, the rounds of RunUploadWatch.
// Needs a Qt application; returns the exit code.
int UploadOnce(const UploadOptions& options, const CommandContext& context,
               UploadReporter& reporter) {
    int exitCode = kExitOk;
    std::string error;
    const auto devices = ResolveDevices(options, error, exitCode);
    if (!devices) {
        context.Err() << "upload: " << error << std::endl;
        reporter.Refused(0, error, "", false);
        return exitCode;
    }
    const bool fromImage = IsImageSource(options.source);
    // Caught from before a folder is built, which can take long. An image file is read first:
    // a read of standard input that waits must still end at Ctrl+C.
    std::optional<platform::InterruptSignals> interrupts;
    packer::BuildOptions build = options.build;
    if (!fromImage && !options.dryRun) {
        interrupts.emplace(nullptr);
        build.stopRequested = [&interrupts] { return interrupts->Caught() != 0; };
    }
    const auto limits = ResolveLimits(options.limits, context.Err());
    if (!limits) {
        reporter.Refused(devices->size(), "limits out of range", "", false);
        return kExitFailure;
    }
    if (options.watch) {
        if (!interrupts) {
            interrupts.emplace(nullptr);
        }
        return RunUploadWatch({options, *devices, *limits, build, fromImage, *interrupts}, context,
                              reporter);
    }
    if (options.dryRun && !fromImage) {
        return reporter.FolderFacts(options.source, *limits, options.build, options.paceMs);
    }

    ImageFailure failure;
    const auto prepared = PrepareImage(options.source, fromImage, *limits, build, context, failure);
    if (interrupts && interrupts->Caught() != 0) {
        // A signal before anything was sent ends the upload as one during the upload does.
        context.Err() << kInterruptedText << std::endl;
        reporter.Refused(devices->size(), kInterruptedText, "", true);
        return interrupts->Caught();
    }
    if (!prepared) {
        reporter.Refused(devices->size(), failure.message, failure.cause, false);
        return kExitFailure;
    }
    if (options.dryRun) {
        reporter.ImageFacts(*prepared, options.paceMs);
        return kExitOk;
    }
    UploadPlan plan = PlanUpload(options, *devices, *prepared, context.Err());
    if (plan.devices.empty()) {
        reporter.AllSkipped(plan.skipped, prepared->info);
        return kExitOk;
    }
    std::string budget;
    if (!FleetUpload::CheckSocketBudget(devices->size(), budget)) {
        context.Err() << "upload: " << budget << std::endl;
        reporter.Refused(devices->size(), budget, "", false);
        return kExitFailure;
    }
    const auto record = OpenRecord(options, plan, *prepared, context.Err());
    if (!record) {
        reporter.Refused(devices->size(), kLedgerRefusedText, "", false);
        return kExitFailure;
    }
    plan.single = IsSingleDeviceUpload(options, devices->size()) && plan.devices.size() == 1;
    UploadEvents& events = reporter.Start(plan);
    if (!interrupts) {
        interrupts.emplace(nullptr);
    }
    // Attached once, as the desktop program does at start-up.
    app::LogPipe logPipe;
    logPipe.Open();
    const SendResult sent =
        SendToDevices(options, plan, *limits, *prepared, *interrupts, logPipe, *record, events);
    reporter.Finish(sent.reports);
    logPipe.Close();
    return sent.ExitCode();
}

int RunUpload(const UploadOptions& options, const CommandContext& context) {
    // The signals' notifier and the upload's sockets need it.
    QtApplication qt;
    const auto reporter = MakeUploadReporter(options.json, context);
    return UploadOnce(options, context, *reporter);
}

}  // namespace

void AddUploadCommand(CLI::App& app, const CommandContext& context, int& exitCode) {
    auto options = std::make_shared<UploadOptions>();
    CLI::App* command = app.add_subcommand(
        "upload",
        "Pack a web folder (or take an image file) and upload it to a device, as the desktop "
        "program's Start");
    AddUploadOptions(*command, *options, context.Err());
    command->callback([options, &context, &exitCode] { exitCode = RunUpload(*options, context); });
}

}  // namespace cli
