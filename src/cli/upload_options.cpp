#include "cli/upload_options.h"

#include <cstdint>

#include "cli/commands.h"
#include "cli/pack_report.h"
#include "platform/file_read.h"

namespace cli {

void AddUploadOptions(CLI::App& command, UploadOptions& options, std::ostream& err) {
    command
        .add_option("SOURCE", options.source,
                    "Web folder to pack and upload, or an image file written by pack -o (sent "
                    "exactly as it is; - reads it from standard input)")
        ->required();
    command
        .add_option("--device", options.devices,
                    "Device address[:port] (dotted IPv4 or host name); repeat it to upload to "
                    "several devices at once")
        ->allow_extra_args(false);
    command.add_option("--devices", options.devicesFile,
                       "File of devices, one address[:port] a line (blank lines and # comments "
                       "allowed)");
    command.add_option("--port", options.port, "Device TCP port where a device names none")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    AddLimitOptions(command, options.limits);
    AddBuildOptions(command, options.build, err);
    command.add_flag("--json", options.json,
                     "Print JSON Lines: progress, attempts, each device's result, then the "
                     "result");
    command.add_flag("--dry-run", options.dryRun,
                     "Build (or check) the image and print what it holds without connecting");
    command.add_flag("--fail-fast", options.failFast,
                     "With several devices: stop the others at the first failure");
    command.add_flag("--trace", options.trace,
                     "Print, per device, when each frame was sent and how (and how late) the "
                     "device answered");
    command
        .add_option("--connect-timeout", options.connectTimeoutSeconds,
                    "Seconds a connect may take before it fails")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    command
        .add_option("--ack-timeout", options.ackTimeoutMs,
                    "Milliseconds the device has to answer a frame; 3000 is the device's "
                    "contract, raise it only for links known to be slow")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600000));
    command
        .add_option("--pace", options.paceMs,
                    "Least milliseconds between two frames; 150 is the device's contract. "
                    "Below it only for devices known to take it (0: a length frame and its data "
                    "frame back to back, the next pair as soon as the OK comes)")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    command
        .add_option("--retries", options.retries,
                    "Try a failed device again from the start up to N times, after a pause "
                    "that doubles from 1 s")
        ->capture_default_str()
        ->check(CLI::Range(0, 1000));
    AddLedgerOptions(command, options.ledger);
    command.add_flag("--skip-current", options.skipCurrent,
                     "Leave out the devices that the ledger shows current with this image "
                     "(reported as skipped)");
    command.add_flag("--watch", options.watch,
                     "After the upload, upload the folder again each time a change to it "
                     "changes the image, until Ctrl+C");
}

std::optional<std::vector<DeviceAddress>> ResolveDevices(const UploadOptions& options,
                                                         std::string& error, int& exitCode) {
    std::string fileText;
    if (!options.devicesFile.empty()) {
        // A list of devices is small; a FIFO or a folder given here must not hang the upload.
        constexpr std::size_t kMaxDevicesFileBytes = 16u * 1024 * 1024;
        const auto bytes = platform::ReadRegularFile(options.devicesFile, kMaxDevicesFileBytes);
        if (!bytes) {
            error = bytes.error().text;
            exitCode = kExitFailure;
            return std::nullopt;
        }
        fileText.assign(bytes->begin(), bytes->end());
    }
    const DeviceListResult list = CombineDevices(options.devices, fileText, options.port);
    if (!list.ok()) {
        error = (options.devicesFile.empty() ? "" : options.devicesFile + ": ") + list.error;
        exitCode = kExitUsage;
        return std::nullopt;
    }
    if (list.devices.empty() && !options.dryRun) {
        error = "--device or --devices is required (or --dry-run)";
        exitCode = kExitUsage;
        return std::nullopt;
    }
    return list.devices;
}

bool IsSingleDeviceUpload(const UploadOptions& options, std::size_t devices) {
    return devices == 1 && options.devicesFile.empty();
}

}  // namespace cli
