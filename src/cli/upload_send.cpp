#include "cli/upload_send.h"

#include <algorithm>
#include <cstdint>

#include "cli/commands.h"
#include "cli/fleet_upload.h"

namespace cli {

UploadPlan PlanUpload(const UploadOptions& options, const std::vector<DeviceAddress>& devices,
                      const PreparedImage& prepared, std::ostream& err) {
    UploadPlan plan;
    plan.devices = devices;
    plan.image = prepared.info;
    plan.paceMs = options.paceMs;
    if (options.skipCurrent) {
        plan.devices =
            LeaveOutCurrent(options.ledger, devices, prepared.info.sha256, plan.skipped, err);
    }
    return plan;
}

std::unique_ptr<UploadLedger> OpenRecord(const UploadOptions& options, const UploadPlan& plan,
                                         const PreparedImage& prepared, std::ostream& err) {
    auto record = std::make_unique<UploadLedger>(options.ledger, err);
    record->SetSource(prepared.kind, prepared.label);
    record->SetPace(options.paceMs);
    if (!record->Prepare(*prepared.image) || !record->Begin(plan.devices)) {
        return nullptr;
    }
    return record;
}

bool SendResult::AllOk() const {
    return std::all_of(reports.begin(), reports.end(),
                       [](const DeviceRunReport& report) { return report.ok; });
}

int SendResult::ExitCode() const {
    if (interruptStatus != 0) {
        return interruptStatus;
    }
    return AllOk() ? kExitOk : kExitFailure;
}

SendResult SendToDevices(const UploadOptions& options, const UploadPlan& plan,
                         const packer::PackLimits& limits, const PreparedImage& prepared,
                         platform::InterruptSignals& interrupts, app::LogPipe& logPipe,
                         UploadLedger& record, UploadEvents& events) {
    FleetUpload::Options engine;
    engine.interrupts = &interrupts;
    engine.devices = plan.devices;
    engine.image = prepared.image;
    engine.limits = limits;
    engine.logPipe = &logPipe;
    engine.failFast = options.failFast;
    engine.trace = options.trace;
    engine.retries = options.retries;
    engine.connectTimeoutMs = static_cast<int>(options.connectTimeoutSeconds * 1000.0);
    engine.ackTimeoutMs = static_cast<std::uint32_t>(options.ackTimeoutMs);
    engine.paceMs = options.paceMs;
    FleetUpload upload(engine, record.Watch(events));
    SendResult result;
    result.reports = upload.Run();
    record.Flush();
    result.interruptStatus = upload.InterruptStatus();
    return result;
}

}  // namespace cli
