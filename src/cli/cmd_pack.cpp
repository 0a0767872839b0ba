#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/image_file.h"
#include "cli/pack_report.h"
#include "packer/image_reader.h"
#include "platform/file_replace.h"

namespace cli {
namespace {

struct PackOptions {
    std::string folder;
    std::string output;
    bool full = false;
    bool json = false;
    LimitOptions limits;
};

struct ImageFileOptions {
    std::string image;
    std::string folder;
    bool json = false;
};

int RunPack(const PackOptions& options) {
    const auto limits = ResolveLimits(options.limits, std::cerr);
    if (!limits) {
        return kExitUsage;
    }
    std::vector<std::uint8_t> image;
    const int result = RunPackReport(options.folder, *limits, options.json, std::cout, std::cerr,
                                     options.output.empty() ? nullptr : &image, options.full);
    if (result != kExitOk || options.output.empty()) {
        return result;
    }
    std::string error;
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    if (!platform::ReplaceFileContents(options.output, bytes, &error)) {
        std::cerr << "cannot write " << options.output << ": " << error << std::endl;
        return kExitFailure;
    }
    return kExitOk;
}

// Reads and checks the image; false with the reason on stderr.
bool LoadDirectory(const std::string& path, std::vector<std::uint8_t>& bytes,
                   packer::ImageDirectory& directory) {
    std::string error;
    if (!LoadImageFile(path, bytes, error)) {
        std::cerr << error << std::endl;
        return false;
    }
    packer::ImageReadResult result = packer::ReadImageDirectory(bytes.data(), bytes.size());
    if (!result.ok) {
        std::cerr << "malformed image " << path << ": " << result.error << std::endl;
        return false;
    }
    directory = std::move(result.directory);
    return true;
}

void PrintDirectoryText(const packer::ImageDirectory& directory) {
    std::cout << "entries: " << directory.entries.size() << " of " << directory.entryCount << '\n';
    std::cout << "used length: " << directory.usedLength << '\n';
    for (const auto& entry : directory.entries) {
        std::cout << std::left << std::setw(24) << entry.name << std::right << " offset "
                  << std::setw(10) << entry.offset << "  size " << std::setw(10) << entry.size
                  << '\n';
    }
}

void PrintDirectoryJson(const packer::ImageDirectory& directory) {
    QJsonArray files;
    for (const auto& entry : directory.entries) {
        files.append(QJsonObject{{"name", QString::fromStdString(entry.name)},
                                 {"offset", static_cast<qint64>(entry.offset)},
                                 {"size", static_cast<qint64>(entry.size)}});
    }
    const QJsonObject document{
        {"entryCount", directory.entryCount},
        {"entriesUsed", static_cast<qint64>(directory.entries.size())},
        {"usedLength", static_cast<qint64>(directory.usedLength)},
        {"files", files},
    };
    std::cout << QJsonDocument(document).toJson(QJsonDocument::Indented).toStdString();
}

int RunList(const ImageFileOptions& options) {
    std::vector<std::uint8_t> bytes;
    packer::ImageDirectory directory;
    if (!LoadDirectory(options.image, bytes, directory)) {
        return kExitFailure;
    }
    if (options.json) {
        PrintDirectoryJson(directory);
    } else {
        PrintDirectoryText(directory);
    }
    std::cout.flush();
    return kExitOk;
}

int RunExtract(const ImageFileOptions& options) {
    std::vector<std::uint8_t> bytes;
    packer::ImageDirectory directory;
    if (!LoadDirectory(options.image, bytes, directory)) {
        return kExitFailure;
    }
    std::string error;
    if (!packer::ExtractImage(bytes.data(), bytes.size(), directory, options.folder, error)) {
        std::cerr << "extract: " << error << std::endl;
        return kExitFailure;
    }
    std::cout << "extracted " << directory.entries.size() << " files to " << options.folder
              << std::endl;
    return kExitOk;
}

}  // namespace

void AddPackCommands(CLI::App& app, int& exitCode) {
    auto pack = std::make_shared<PackOptions>();
    CLI::App* packCommand =
        app.add_subcommand("pack", "pack a web folder into an image and report what it holds");
    packCommand->add_option("FOLDER", pack->folder, "web folder to pack")->required();
    packCommand->add_option("-o,--output", pack->output,
                            "image file to write (without it only the report is printed)");
    packCommand->add_flag("--full", pack->full,
                          "write the whole capacity, 0xFF fill included, not only the used bytes");
    packCommand->add_flag("--json", pack->json, "print the report as one JSON document");
    AddLimitOptions(*packCommand, pack->limits);
    packCommand->callback([pack, &exitCode] { exitCode = RunPack(*pack); });

    auto list = std::make_shared<ImageFileOptions>();
    CLI::App* listCommand = app.add_subcommand("list", "check an image and print its directory");
    listCommand->add_option("IMAGE", list->image, "image file")->required();
    listCommand->add_flag("--json", list->json, "print the directory as one JSON document");
    listCommand->callback([list, &exitCode] { exitCode = RunList(*list); });

    auto extract = std::make_shared<ImageFileOptions>();
    CLI::App* extractCommand =
        app.add_subcommand("extract", "write every file of an image below a folder");
    extractCommand->add_option("IMAGE", extract->image, "image file")->required();
    extractCommand->add_option("DIR", extract->folder, "folder to write into (created)")
        ->required();
    extractCommand->callback([extract, &exitCode] { exitCode = RunExtract(*extract); });
}

}  // namespace cli
