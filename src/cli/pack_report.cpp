#include "cli/pack_report.h"

#include <cstdio>
#include <iomanip>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "cli/cli_context.h"
#include "cli/commands.h"
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

void PrintText(const packer::BuildReport& report, const Summary& summary, std::ostream& out) {
    for (const auto& file : report.stored) {
        out << std::left << std::setw(kNameColumn) << packer::PrintableName(file.imageName)
            << std::right << " offset " << std::setw(10) << file.offset << "  size "
            << std::setw(10) << file.size << '\n';
    }
    for (const auto& entry : report.leftOut) {
        out << "left out: " << LeftOutLabel(entry) << " (" << entry.reason << ")\n";
    }
    out << "entries: " << summary.entriesUsed << " of " << summary.entryCount << '\n';
    out << "bytes: " << summary.bytesUsed << " of " << summary.romBytes << " ("
        << Fixed(summary.sharePercent, 1) << "%)\n";
    out << "sha256: " << summary.sha256 << " (" << summary.imageBytes << " bytes)\n";
    out << "upload: " << summary.frames << " frames, about "
        << Fixed(static_cast<double>(summary.estimatedMs) / 1000.0, 1) << " s\n";
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

void PrintJson(const std::string& folder, const packer::BuildReport& report, const Summary& summary,
               std::ostream& out) {
    QJsonArray files;
    for (const auto& file : report.stored) {
        files.append(QJsonObject{{"name", Text(file.imageName)},
                                 {"path", Text(file.localPath)},
                                 {"offset", static_cast<qint64>(file.offset)},
                                 {"size", static_cast<qint64>(file.size)}});
    }
    QJsonArray leftOut;
    for (const auto& entry : report.leftOut) {
        leftOut.append(QJsonObject{{"name", Text(entry.imageName)},
                                   {"path", Text(entry.localPath)},
                                   {"reason", Text(entry.reason)}});
    }
    const QJsonObject document{
        {"folder", Text(folder)},
        {"files", files},
        {"leftOut", leftOut},
        {"entriesUsed", static_cast<qint64>(summary.entriesUsed)},
        {"entryCount", static_cast<qint64>(summary.entryCount)},
        {"bytesUsed", static_cast<qint64>(summary.bytesUsed)},
        {"romBytes", static_cast<qint64>(summary.romBytes)},
        {"sharePercent", summary.sharePercent},
        {"imageBytes", static_cast<qint64>(summary.imageBytes)},
        {"sha256", Text(summary.sha256)},
        {"frames", static_cast<qint64>(summary.frames)},
        {"estimatedMs", static_cast<qint64>(summary.estimatedMs)},
    };
    out << QJsonDocument(document).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace

std::int64_t EstimatedUploadMs(std::int64_t imageLength) {
    return (transfer::FrameCount(imageLength) + 1) * transfer::kTimerPeriodMs;
}

int RunPackReport(const std::string& folder, const packer::PackLimits& limits, bool json,
                  std::ostream& out, std::ostream& err, std::vector<std::uint8_t>* imageOut,
                  bool full) {
    packer::WebFileTable table(limits.maxFileCount);
    packer::WebImage image;
    std::vector<std::uint8_t> readBuffer;
    packer::BuildReport report;
    ConsoleMessageBox messages(err, err);
    if (packer::BuildWebImage(folder, limits, table, image, readBuffer, messages, &report) != 1) {
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
    summary.sha256 = platform::Sha256::Hex(platform::Sha256::Of(
        image.imageBuffer.data(), static_cast<std::size_t>(summary.imageBytes)));
    summary.frames = transfer::FrameCount(image.usedLength);
    summary.estimatedMs = EstimatedUploadMs(image.usedLength);

    if (json) {
        PrintJson(folder, report, summary, out);
    } else {
        PrintText(report, summary, out);
    }
    out.flush();
    if (imageOut != nullptr) {
        // Handed over, not copied: with large limits images run to tens of MiB.
        *imageOut = std::move(image.imageBuffer);
        imageOut->resize(static_cast<std::size_t>(summary.imageBytes));
    }
    return kExitOk;
}

}  // namespace cli
