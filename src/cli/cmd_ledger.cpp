#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <QJsonArray>
#include <QJsonObject>

#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/device_list.h"
#include "cli/image_file.h"
#include "cli/output.h"
#include "cli/pack_report.h"
#include "cli/upload_ledger.h"
#include "ledger/image_record.h"
#include "platform/file_read.h"
#include "platform/system_text.h"

// vellumix-cli history and status: what the ledger holds, read-only.
namespace cli {

namespace {

constexpr std::size_t kShortSha = 12;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

bool IsSha256(const std::string& text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The image SOURCE names: a SHA-256, an image file, or a web folder packed (not uploaded) as
// upload would pack it. The record carries its directory unless only the hash was given.
std::optional<ledger::ImageRecord> ImageOfSource(const std::string& source,
                                                 const LimitOptions& limitOptions,
                                                 const packer::BuildOptions& build,
                                                 const CommandContext& context) {
    std::ostream& err = context.Err();
    std::error_code error;
    const auto sourcePath = platform::FileSystemPath(source);
    const bool folder = std::filesystem::is_directory(sourcePath, error);
    if (!folder && IsSha256(source) && !std::filesystem::exists(sourcePath, error)) {
        return ledger::ImageRecord{Lower(source), 0, {}};
    }
    std::vector<std::uint8_t> bytes;
    if (folder) {
        const auto limits = ResolveLimits(limitOptions, err);
        if (!limits) {
            return std::nullopt;
        }
        std::ostream discard(nullptr);
        if (RunPackReport(source, *limits, false, context.WithOut(discard), &bytes, false, build) !=
            kExitOk) {
            return std::nullopt;
        }
    } else {
        auto loaded = LoadImageFile(source);
        if (!loaded) {
            err << "vellumix-cli: " << loaded.error().text << std::endl;
            return std::nullopt;
        }
        bytes = std::move(*loaded);
    }
    auto record = ledger::ImageRecordOf(bytes.data(), bytes.size());
    if (!record) {
        err << "vellumix-cli: " << source << ": not an image" << std::endl;
    }
    return record;
}

std::string ResultText(const ledger::UploadRow& row) {
    return row.end ? row.end->result : "unfinished";
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string PadRight(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + "  " : text + std::string(width + 2 - text.size(), ' ');
}

// One line of text with control characters shown as '?': a name or message from the ledger
// must not move the cursor or end a row.
std::string Printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return shown;
}

QJsonObject UploadJson(const ledger::UploadRow& row) {
    const ledger::UploadStart& start = row.start;
    QJsonObject object{{"id", static_cast<qint64>(row.id)},
                       {"started_at", Text(ledger::FormatUtc(start.startedMs))},
                       {"device", Text(start.device)},
                       {"address", Text(start.address)},
                       {"port", start.port},
                       {"sha256", Text(start.imageSha256)},
                       {"image_bytes", static_cast<qint64>(start.imageBytes)},
                       {"files", start.fileCount},
                       {"source", Text(start.sourceKind)},
                       {"total_frames", start.totalFrames},
                       {"pace_ms", start.paceMs},
                       {"program", Text(start.program)},
                       {"version", Text(start.version)},
                       {"user", Text(start.user)},
                       {"host", Text(start.host)},
                       {"result", Text(ResultText(row))},
                       {"finished", row.end.has_value()}};
    PutName(object, start.sourcePath, "source_path");
    if (row.end) {
        const ledger::UploadEnd& end = *row.end;
        object.insert("ended_at", Text(ledger::FormatUtc(end.endedMs)));
        object.insert("message", Text(end.message));
        if (!end.cause.empty()) {
            object.insert("cause", Text(end.cause));
        }
        object.insert("tries", end.tries);
        object.insert("frames_sent", end.framesSent);
        object.insert("interrupted", end.interrupted);
    }
    return object;
}

struct HistoryOptions {
    LedgerOptions ledger;
    std::string device;
    std::string image;
    std::string since;
    bool failed = false;
    std::int64_t limit = 0;
    bool json = false;
    bool csv = false;
    LimitOptions limits;
};

int RunHistory(const HistoryOptions& options, const CommandContext& context) {
    ledger::HistoryFilter filter;
    filter.failedOnly = options.failed;
    filter.limit = options.limit;
    if (!options.device.empty()) {
        const auto device = ParseDeviceAddress(options.device, 0);
        if (!device) {
            context.Err() << "history: --device: " << device.error().text << std::endl;
            return kExitUsage;
        }
        filter.device = device->host;
        filter.port = device->port;
        const std::string address = RecordedAddress(device->host);
        // A name that resolves is looked for under its address; unresolved ones as given.
        if (address != Lower(device->host)) {
            filter.device = address;
        }
    }
    if (!options.since.empty()) {
        const auto since = ledger::ParseUtc(options.since);
        if (!since) {
            context.Err() << "history: --since: not a date (YYYY-MM-DD[THH:MM[:SS]], UTC): "
                          << options.since << std::endl;
            return kExitUsage;
        }
        filter.sinceMs = *since;
    }
    if (!options.image.empty()) {
        const auto image = ImageOfSource(options.image, options.limits, {}, context);
        if (!image) {
            return kExitFailure;
        }
        filter.imageSha256 = image->sha256;
    }
    ledger::Ledger book;
    if (!OpenLedgerForReading(options.ledger, book, context.Err())) {
        return kExitFailure;
    }
    std::vector<ledger::UploadRow> rows;
    if (book.IsOpen()) {
        if (const ledger::Error failure = book.History(filter, rows)) {
            context.Err() << "vellumix-cli: ledger " << book.Path() << ": " << failure.text
                          << std::endl;
            return kExitFailure;
        }
    }
    if (options.json) {
        JsonLines out(context.Out());
        for (const auto& row : rows) {
            out.Write("upload", UploadJson(row));
        }
        out.Write("result", QJsonObject{{"ok", true}, {"uploads", static_cast<int>(rows.size())}});
        return kExitOk;
    }
    if (options.csv) {
        context.Out() << "started_at,ended_at,device,address,port,result,message,cause,tries,"
                         "frames_sent,total_frames,interrupted,sha256,image_bytes,files,source,"
                         "source_path,program,version,user,host,pace_ms\n";
        for (const auto& row : rows) {
            const auto& s = row.start;
            const ledger::UploadEnd end = row.end.value_or(ledger::UploadEnd{});
            const std::vector<std::string> fields = {
                ledger::FormatUtc(s.startedMs),
                row.end ? ledger::FormatUtc(end.endedMs) : "",
                s.device,
                s.address,
                std::to_string(s.port),
                ResultText(row),
                end.message,
                end.cause,
                row.end ? std::to_string(end.tries) : "",
                row.end ? std::to_string(end.framesSent) : "",
                std::to_string(s.totalFrames),
                row.end ? (end.interrupted ? "yes" : "no") : "",
                s.imageSha256,
                std::to_string(s.imageBytes),
                std::to_string(s.fileCount),
                s.sourceKind,
                s.sourcePath,
                s.program,
                s.version,
                s.user,
                s.host,
                std::to_string(s.paceMs)};
            for (std::size_t i = 0; i < fields.size(); ++i) {
                context.Out() << (i == 0 ? "" : ",") << CsvField(fields[i]);
            }
            context.Out() << "\n";
        }
        context.Out().flush();
        return kExitOk;
    }
    if (rows.empty()) {
        if (!context.Quiet()) {
            context.Out() << "no uploads recorded" << std::endl;
        }
        return kExitOk;
    }
    context.Out() << "started (UTC)             device                 result       frames    "
                     "sha256        files  message\n";
    for (const auto& row : rows) {
        const auto& s = row.start;
        const std::string frames = (row.end ? std::to_string(row.end->framesSent) : "?") + "/" +
                                   std::to_string(s.totalFrames);
        context.Out() << PadRight(ledger::FormatUtc(s.startedMs), 24)
                      << PadRight(Printable(s.device + ":" + std::to_string(s.port)), 21)
                      << PadRight(ResultText(row), 11) << PadRight(frames, 8)
                      << PadRight(s.imageSha256.substr(0, kShortSha), 12)
                      << PadRight(std::to_string(s.fileCount), 5)
                      << Printable(row.end ? row.end->message : "") << "\n";
    }
    context.Out().flush();
    return kExitOk;
}

// How the files of the image a controller has differ from `wanted`'s, by name and content.
struct FileChange {
    std::string name;
    const char* change;  // "changed", "added" (only in SOURCE), "removed" (only on the device)
};

std::vector<FileChange> Differences(const std::vector<ledger::ImageFile>& wanted,
                                    const std::vector<ledger::ImageFile>& present) {
    std::map<std::string, std::string> had;
    for (const auto& file : present) {
        had[file.name] = file.sha256;
    }
    std::vector<FileChange> changes;
    for (const auto& file : wanted) {
        const auto found = had.find(file.name);
        if (found == had.end()) {
            changes.push_back({file.name, "added"});
        } else {
            if (found->second != file.sha256) {
                changes.push_back({file.name, "changed"});
            }
            had.erase(found);
        }
    }
    for (const auto& [name, sha] : had) {
        changes.push_back({name, "removed"});
    }
    return changes;
}

struct StatusOptions {
    LedgerOptions ledger;
    std::string source;
    std::vector<std::string> devices;
    std::string devicesFile;
    int port = 8001;
    bool json = false;
    LimitOptions limits;
    packer::BuildOptions build;
};

int RunStatus(const StatusOptions& options, const CommandContext& context) {
    std::string fileText;
    if (!options.devicesFile.empty()) {
        constexpr std::size_t kMaxDevicesFileBytes = 16u * 1024 * 1024;
        const auto bytes = platform::ReadRegularFile(options.devicesFile, kMaxDevicesFileBytes);
        if (!bytes) {
            context.Err() << "status: " << bytes.error().text << std::endl;
            return kExitFailure;
        }
        fileText.assign(bytes->begin(), bytes->end());
    }
    const DeviceListResult list = CombineDevices(options.devices, fileText, options.port);
    if (!list.ok() || list.devices.empty()) {
        context.Err() << "status: "
                      << (list.ok()
                              ? "--device or --devices is required"
                              : (options.devicesFile.empty() ? "" : options.devicesFile + ": ") +
                                    list.error)
                      << std::endl;
        return kExitUsage;
    }
    auto image = ImageOfSource(options.source, options.limits, options.build, context);
    if (!image) {
        return kExitFailure;
    }
    ledger::Ledger book;
    if (!OpenLedgerForReading(options.ledger, book, context.Err())) {
        return kExitFailure;
    }
    if (image->files.empty() && book.IsOpen()) {
        (void)book.ImageFiles(image->sha256, image->files);  // only a hash was given
    }
    std::map<ledger::State, int> counts;
    std::map<std::string, std::vector<ledger::ImageFile>> recorded;  // per image
    JsonLines out(context.Out());
    if (!options.json && !context.Quiet()) {
        context.Out() << "device                 state       since (UTC)               "
                         "sha256        note\n";
    }
    for (const auto& device : list.devices) {
        ledger::DeviceStatus status;
        if (book.IsOpen()) {
            if (const ledger::Error failure =
                    book.Status(RecordedAddress(device.host), device.port, image->sha256, status)) {
                context.Err() << "vellumix-cli: ledger " << book.Path() << ": " << failure.text
                              << std::endl;
                return kExitFailure;
            }
        }
        ++counts[status.state];
        std::vector<FileChange> changes;
        if (status.state == ledger::State::kOutdated) {
            const std::string& had = status.decisive->start.imageSha256;
            if (!recorded.count(had)) {
                (void)book.ImageFiles(had, recorded[had]);
            }
            changes = Differences(image->files, recorded[had]);
        }
        const auto* upload = status.decisive ? &*status.decisive : nullptr;
        if (options.json) {
            QJsonObject event{{"device", Text(device.Label())},
                              {"state", ledger::StateName(status.state)}};
            if (upload != nullptr) {
                event.insert("uploaded_at", Text(ledger::FormatUtc(upload->start.startedMs)));
                event.insert("sha256", Text(upload->start.imageSha256));
                event.insert("result", Text(ResultText(*upload)));
                if (upload->end) {
                    event.insert("frames_sent", upload->end->framesSent);
                }
                event.insert("total_frames", upload->start.totalFrames);
            }
            if (status.state == ledger::State::kOutdated) {
                QJsonArray files;
                for (const auto& change : changes) {
                    QJsonObject file{{"change", change.change}};
                    PutName(file, change.name);
                    files.append(file);
                }
                event.insert("files", files);
            }
            out.Write("device_status", event);
            continue;
        }
        if (context.Quiet()) {
            continue;
        }
        std::string note;
        if (status.state == ledger::State::kOutdated) {
            note = std::to_string(changes.size()) +
                   (changes.size() == 1 ? " file differs" : " files differ");
            for (const auto& change : changes) {
                note += std::string(", ") + Printable(change.name) + " (" + change.change + ")";
            }
        } else if (status.state == ledger::State::kIncomplete) {
            note = upload->end
                       ? ResultText(*upload) + " after " + std::to_string(upload->end->framesSent) +
                             "/" + std::to_string(upload->start.totalFrames) + " frames"
                       : "never finished";
        }
        context.Out() << PadRight(Printable(device.Label()), 21)
                      << PadRight(ledger::StateName(status.state), 10)
                      << PadRight(upload ? ledger::FormatUtc(upload->start.startedMs) : "-", 24)
                      << PadRight(upload ? upload->start.imageSha256.substr(0, kShortSha) : "-", 12)
                      << note << "\n";
    }
    const int total = static_cast<int>(list.devices.size());
    const bool allCurrent = counts[ledger::State::kCurrent] == total;
    if (options.json) {
        out.Write("result", QJsonObject{{"ok", allCurrent},
                                        {"sha256", Text(image->sha256)},
                                        {"devices", total},
                                        {"current", counts[ledger::State::kCurrent]},
                                        {"outdated", counts[ledger::State::kOutdated]},
                                        {"incomplete", counts[ledger::State::kIncomplete]},
                                        {"unknown", counts[ledger::State::kUnknown]}});
    } else if (!context.Quiet()) {
        context.Out() << "image sha256: " << image->sha256 << "\n"
                      << total << " devices: " << counts[ledger::State::kCurrent] << " current, "
                      << counts[ledger::State::kOutdated] << " outdated, "
                      << counts[ledger::State::kIncomplete] << " incomplete, "
                      << counts[ledger::State::kUnknown] << " unknown" << std::endl;
    }
    context.Out().flush();
    return allCurrent ? kExitOk : kExitFailure;
}

}  // namespace

void AddLedgerCommands(CLI::App& app, const CommandContext& context, int& exitCode) {
    auto history = std::make_shared<HistoryOptions>();
    CLI::App* command =
        app.add_subcommand("history", "List the uploads recorded in the ledger, newest first");
    AddLedgerFileOption(*command, history->ledger);
    command->add_option("--device", history->device, "Only uploads to HOST[:PORT]");
    command->add_option("--image", history->image,
                        "Only uploads of this image: a SHA-256, an image file or a web folder");
    command->add_option("--since", history->since,
                        "Only uploads started at or after DATE (YYYY-MM-DD[THH:MM[:SS]], UTC)");
    command->add_flag("--failed", history->failed, "Only uploads that did not succeed");
    command->add_option("--limit", history->limit, "At most N uploads")
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{1} << 40));
    auto* json = command->add_flag("--json", history->json, "Print JSON Lines");
    command->add_flag("--csv", history->csv, "Print comma-separated values")->excludes(json);
    command->add_option("--ini", history->limits.iniPath, kIniOptionHelp);
    command->callback([history, &context, &exitCode] { exitCode = RunHistory(*history, context); });

    auto status = std::make_shared<StatusOptions>();
    command = app.add_subcommand(
        "status",
        "Compare what the ledger knows of each device with an image; exit 0 when all are "
        "current");
    command
        ->add_option("SOURCE", status->source,
                     "Web folder (packed, not uploaded), image file, or SHA-256 of an image")
        ->required();
    command->add_option("--device", status->devices, "Device address[:port]; repeatable")
        ->allow_extra_args(false);
    command->add_option("--devices", status->devicesFile, "File of devices, one a line");
    command->add_option("--port", status->port, "Device TCP port where a device names none")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    AddLedgerFileOption(*command, status->ledger);
    AddLimitOptions(*command, status->limits);
    AddBuildOptions(*command, status->build, context.Err());
    command->add_flag("--json", status->json, "Print JSON Lines");
    command->callback([status, &context, &exitCode] { exitCode = RunStatus(*status, context); });
}

}  // namespace cli
