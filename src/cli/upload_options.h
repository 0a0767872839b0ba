#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli_context.h"
#include "cli/device_list.h"
#include "cli/fleet_upload.h"
#include "cli/upload_ledger.h"
#include "packer/build_report.h"
#include "transfer/frames.h"
#include "transfer/upload_sequencer.h"

namespace cli {

// Everything the command line of `upload` says.
struct UploadOptions {
    std::string source;                // web folder, image file, or "-" for an image on stdin
    std::vector<std::string> devices;  // --device, repeatable
    std::string devicesFile;           // --devices
    int port = 8001;
    LimitOptions limits;
    bool json = false;
    bool dryRun = false;
    bool failFast = false;
    bool trace = false;
    double connectTimeoutSeconds = FleetUpload::kDefaultConnectTimeoutMs / 1000.0;
    int ackTimeoutMs = static_cast<int>(transfer::kAckTimeoutMs);
    int paceMs = transfer::kTimerPeriodMs;
    int retries = 0;
    packer::BuildOptions build;  // --exclude, --strict
    LedgerOptions ledger;        // --ledger, --no-ledger, --require-ledger
    bool skipCurrent = false;
    bool watch = false;
};

// Adds the arguments and options of `upload` to `command`, parsed into `options`; the ranges
// are checked as they are parsed (a value outside is a usage error), and a warning about an
// --exclude pattern goes to `err`.
void AddUploadOptions(CLI::App& command, UploadOptions& options, std::ostream& err);

// The devices of --device and --devices (at least one unless --dry-run); nullopt with the
// reason in `error` and the exit code in `exitCode`: kExitFailure when the devices file cannot
// be read, kExitUsage when the devices are wrong or missing.
std::optional<std::vector<DeviceAddress>> ResolveDevices(const UploadOptions& options,
                                                         std::string& error, int& exitCode);

// Whether the upload is the desktop program's Start: one device, given by --device. It then
// reports as the window does, not as a table of devices.
bool IsSingleDeviceUpload(const UploadOptions& options, std::size_t devices);

}  // namespace cli
