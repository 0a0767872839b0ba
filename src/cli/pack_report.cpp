#include "cli/pack_report.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <ostream>

#include <QJsonObject>
#include <QString>

#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "packer/glob_pattern.h"
#include "packer/image_reader.h"
#include "packer/printable_name.h"
#include "packer/web_file_table.h"
#include "packer/web_image.h"
#include "platform/sha256.h"
#include "transfer/frames.h"
#include "transfer/upload_sequencer.h"

namespace cli {
namespace {

constexpr int kNameColumn = 24;

struct Summary {
    std::int64_t entriesUsed = 0;
    std::int64_t entryCount = 0;
    std::int64_t bytesUsed = 0;
    std::int64_t romBytes = 0;
    double sharePercent = 0.0;
    std::int64_t imageBytes = 0;  // what is written: usedLength, or R with --full
    std::string sha256;
    std::int64_t frames = 0;
    std::int64_t estimatedMs = 0;
};

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The name a left-out entry is known by: its image name, or its path when it never got one.
std::string LeftOutLabel(const packer::BuildReport::LeftOut& entry) {
    return packer::PrintableName(entry.imageName.empty() ? entry.localPath : entry.imageName);
}

std::size_t ExcludedCount(const packer::BuildReport& report) {
    return static_cast<std::size_t>(std::count_if(
        report.leftOut.begin(), report.leftOut.end(),
        [](const auto& entry) { return entry.kind == packer::LeftOutKind::Excluded; }));
}

void PrintText(const packer::BuildReport& report, const Summary& summary,
               const CommandContext& context) {
    if (context.Quiet()) {
        return;
    }
    std::ostream& out = context.Out();
    for (const auto& file : report.stored) {
        out << packer::PaddedName(file.imageName, kNameColumn) << " offset " << std::setw(10)
            << file.offset << "  size " << std::setw(10) << file.size << '\n';
    }
    for (const auto& entry : report.leftOut) {
        if (entry.kind != packer::LeftOutKind::Excluded || context.Verbose()) {
            out << "left out: " << packer::PrintableName(LeftOutLabel(entry)) << " ("
                << entry.reason << ")\n";
        }
    }
    out << "entries: " << summary.entriesUsed << " of " << summary.entryCount << '\n';
    out << "bytes: " << summary.bytesUsed << " of " << summary.romBytes << " ("
        << Fixed(summary.sharePercent, 1) << "%)\n";
    out << "sha256: " << summary.sha256 << " (" << summary.imageBytes << " bytes)\n";
    out << "upload: " << summary.frames << " frames, about "
        << Fixed(static_cast<double>(summary.estimatedMs) / 1000.0, 1) << " s\n";
    out << "files left out: " << report.leftOut.size() << " (" << ExcludedCount(report)
        << " excluded)\n";
}

void WriteEntriesJson(const packer::BuildReport& report, JsonLines& json) {
    for (const auto& file : report.stored) {
        QJsonObject object;
        PutName(object, file.imageName);
        PutName(object, file.localPath, "path");
        object.insert("offset", static_cast<qint64>(file.offset));
        object.insert("size", static_cast<qint64>(file.size));
        json.Write("file", object);
    }
    for (const auto& entry : report.leftOut) {
        QJsonObject object;
        if (!entry.imageName.empty()) {
            PutName(object, entry.imageName);
        }
        PutName(object, entry.localPath, "path");
        object.insert("reason", QString::fromStdString(entry.reason));
        json.Write("left_out", object);
    }
}

void PrintJson(const std::string& folder, const packer::BuildReport& report, const Summary& summary,
               std::ostream& out) {
    JsonLines json(out);
    WriteEntriesJson(report, json);
    QJsonObject result{
        {"ok", true},
        {"entries_used", static_cast<qint64>(summary.entriesUsed)},
        {"entry_count", static_cast<qint64>(summary.entryCount)},
        {"bytes_used", static_cast<qint64>(summary.bytesUsed)},
        {"rom_bytes", static_cast<qint64>(summary.romBytes)},
        {"share_percent", summary.sharePercent},
        {"image_bytes", static_cast<qint64>(summary.imageBytes)},
        {"sha256", QString::fromStdString(summary.sha256)},
        {"frames", static_cast<qint64>(summary.frames)},
        {"estimated_ms", static_cast<qint64>(summary.estimatedMs)},
        {"left_out", static_cast<qint64>(report.leftOut.size())},
    };
    PutName(result, folder, "folder");
    json.Write("result", result);
}

void PrintJsonFailure(const std::string& folder, const packer::BuildReport& report,
                      const std::string& message, std::ostream& out) {
    JsonLines json(out);
    WriteEntriesJson(report, json);
    QJsonObject result{{"ok", false},
                       {"message", QString::fromStdString(message)},
                       {"left_out", static_cast<qint64>(report.leftOut.size())}};
    if (!report.cause.empty()) {
        result.insert("cause", QString::fromStdString(report.cause));
    }
    PutName(result, folder, "folder");
    json.Write("result", result);
}

}  // namespace

std::int64_t EstimatedUploadMs(std::int64_t imageLength, int paceMs) {
    return (transfer::FrameCount(imageLength) + 1) * paceMs;
}

void AddBuildOptions(CLI::App& command, packer::BuildOptions& build, std::ostream& err) {
    // One pattern per --exclude, taken as given: without allow_extra_args(false) the parser
    // reads "[a,b]" as a list of two patterns and "[]" as none.
    command
        .add_option("--exclude", build.excludes,
                    "Leave out files whose image name matches this glob (* also crosses /, "
                    "? one character, [set]); repeatable, e.g. --exclude '*.map' --exclude "
                    "'/.git/*'")
        ->allow_extra_args(false)
        ->each([&err](const std::string& pattern) {
            if (const std::string problem = packer::GlobPatternProblem(pattern); !problem.empty()) {
                err << "warning: --exclude \"" << packer::PrintableName(pattern)
                    << "\": " << problem << std::endl;
            }
        });
    command.add_flag("--strict", build.strict,
                     "Refuse the build when any file or folder was left out (unreadable, "
                     "vanished, special file, folder link loop); empty and excluded files do "
                     "not count");
}

void PrintLeftOutWarnings(const packer::BuildReport& report, const CommandContext& context) {
    if (context.Quiet()) {
        return;
    }
    std::ostream& err = context.Err();
    for (const auto& entry : report.leftOut) {
        if (entry.kind == packer::LeftOutKind::Fault || context.Verbose()) {
            err << "vellumix-cli: left out: " << packer::PrintableName(LeftOutLabel(entry)) << " ("
                << entry.reason << ")\n";
        }
    }
    err.flush();
}

bool RefusedForNoFile(const std::string& folder, packer::BuildReport& report) {
    if (!report.stored.empty()) {
        return false;
    }
    report.cause = folder + ": no file to pack (" + std::to_string(report.leftOut.size()) +
                   " left out); " + packer::kNoFileInImage;
    return true;
}

void PrintBuildCause(const packer::BuildReport& report, std::ostream& err) {
    if (!report.cause.empty()) {
        err << "vellumix-cli: " << packer::PrintableName(report.cause) << std::endl;
    }
}

int RunPackReport(const std::string& folder, const packer::PackLimits& limits, bool json,
                  const CommandContext& context, std::vector<std::uint8_t>* imageOut, bool full,
                  const packer::BuildOptions& build, int paceMs) {
    std::ostream& out = context.Out();
    std::ostream& err = context.Err();
    packer::WebFileTable table(limits.maxFileCount);
    packer::WebImage image;
    packer::BuildReport report;
    ConsoleMessageBox messages(err, err);
    const bool built =
        packer::BuildWebImage(folder, limits, table, image, messages, &report, build) == 1;
    if (!built || RefusedForNoFile(folder, report)) {
        PrintBuildCause(report, err);
        if (json) {
            PrintJsonFailure(folder, report, built ? packer::kNoFileInImage : report.failure.text,
                             out);
        }
        return kExitFailure;
    }

    Summary summary;
    summary.entriesUsed = static_cast<std::int64_t>(report.stored.size());
    summary.entryCount = limits.maxFileCount;
    summary.bytesUsed = image.usedLength;
    summary.romBytes = limits.maxRomBytes;
    summary.sharePercent =
        100.0 * static_cast<double>(summary.bytesUsed) / static_cast<double>(summary.romBytes);
    summary.imageBytes = full ? summary.romBytes : summary.bytesUsed;
    // The builder keeps only the used bytes; --full adds the 0xFF fill up to R.
    image.imageBuffer.resize(static_cast<std::size_t>(summary.imageBytes), packer::kFillByte);
    summary.sha256 = platform::Sha256::Hex(platform::Sha256::Of(
        image.imageBuffer.data(), static_cast<std::size_t>(summary.imageBytes)));
    summary.frames = transfer::FrameCount(image.usedLength);
    summary.estimatedMs = EstimatedUploadMs(image.usedLength, paceMs);

    if (json) {
        PrintJson(folder, report, summary, out);
    } else {
        PrintText(report, summary, context);
    }
    out.flush();
    if (imageOut != nullptr) {
        // Handed over, not copied: with large limits images run to tens of MiB.
        *imageOut = std::move(image.imageBuffer);
    }
    return kExitOk;
}

}  // namespace cli
