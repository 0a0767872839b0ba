#include <cstdint>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <QJsonObject>
#include <QString>

#include "cli/cli_context.h"
#include "cli/commands.h"
#include "cli/image_file.h"
#include "cli/output.h"
#include "cli/pack_report.h"
#include "packer/image_reader.h"
#include "packer/printable_name.h"
#include "platform/file_replace.h"
#include "platform/sha256.h"

namespace cli {
namespace {

struct PackOptions {
    std::string folder;
    std::string output;
    bool full = false;
    bool json = false;
    LimitOptions limits;
    packer::BuildOptions build;
};

struct ImageFileOptions {
    std::string image;
    std::string folder;
    bool json = false;
};

int RunPack(const PackOptions& options, const CommandContext& context) {
    const auto limits = ResolveLimits(options.limits, context.Err());
    if (!limits) {
        return kExitUsage;
    }
    // When the image goes to standard output ("-o -", "-o /dev/stdout"), the report goes to
    // stderr.
    const bool toStdout = !options.output.empty() && platform::IsStandardOutput(options.output);
    // A target that cannot take the image fails the command before the report claims an image.
    if (!options.output.empty()) {
        if (const platform::Error refused = platform::CheckOutputFile(options.output)) {
            context.Err() << refused.text << std::endl;
            return kExitFailure;
        }
    }
    std::ostringstream discarded;  // the report under -q (its JSON is still asked for)
    std::ostream& report = context.Quiet() && !options.json ? discarded
                           : toStdout                       ? context.Err()
                                                            : context.Out();
    std::vector<std::uint8_t> image;
    // With an output, the report waits until the image is written: a write that fails (a full
    // disk) must not follow a report that already said the image was made.
    std::ostringstream held;
    std::ostream& reportFirst = options.output.empty() ? report : held;
    packer::BuildOptions build = options.build;
    if (!toStdout) {
        build.outputFile = options.output;
    }
    const int result =
        RunPackReport(options.folder, *limits, options.json, context.WithOut(reportFirst),
                      options.output.empty() ? nullptr : &image, options.full, build);
    if (result != kExitOk || options.output.empty()) {
        report << held.str() << std::flush;
        return result;
    }
    context.Out().flush();
    const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
    if (const platform::Error error = platform::WriteOutputFile(options.output, bytes)) {
        context.Err() << error.text << std::endl;
        if (options.json) {
            JsonLines(report).Write(
                "result",
                QJsonObject{{"ok", false}, {"message", QString::fromStdString(error.text)}});
        }
        return kExitFailure;
    }
    report << held.str() << std::flush;
    if (context.Verbose()) {
        context.Err() << "wrote " << image.size() << " bytes to " << options.output << std::endl;
    }
    return kExitOk;
}

// How an image file is named in messages.
std::string ImageLabel(const std::string& path) {
    return path == "-" ? "(standard input)" : path;
}

// An image file read and checked for list and extract.
struct LoadedImage {
    std::vector<std::uint8_t> bytes;
    packer::ImageReadResult read;
    std::string error;  // why it cannot be used (unreadable, malformed or bad names); empty: fine
};

// Reads and checks the image. `error` is set when it cannot be read or is malformed (then
// `read.ok` is false) and when its names cannot be extracted (then `read.ok` is true).
LoadedImage LoadImage(const std::string& path) {
    LoadedImage image;
    auto loaded = LoadImageFile(path);
    if (!loaded) {
        image.error = loaded.error().text;
        return image;
    }
    image.bytes = std::move(*loaded);
    image.read = packer::ReadImageDirectory(image.bytes.data(), image.bytes.size());
    if (!image.read.ok) {
        image.error = "malformed image " + ImageLabel(path) + ": " + image.read.error;
    } else if (!image.read.nameError.empty()) {
        image.error = "bad names in image " + ImageLabel(path) + ": " + image.read.nameError;
    }
    return image;
}

void PrintDirectoryText(const packer::ImageDirectory& directory, const std::string& sha256,
                        std::ostream& out) {
    out << "entries: " << directory.entries.size() << " of " << directory.entryCount << '\n';
    out << "used length: " << directory.usedLength << '\n';
    out << "sha256: " << sha256 << '\n';
    for (const auto& entry : directory.entries) {
        out << packer::PaddedName(entry.name, 24) << " offset " << std::setw(10) << entry.offset
            << "  size " << std::setw(10) << entry.size << '\n';
    }
    out.flush();
}

int RunList(const ImageFileOptions& options, const CommandContext& context) {
    const LoadedImage image = LoadImage(options.image);
    JsonLines json(context.Out());
    QJsonObject result{{"ok", image.error.empty()}};
    if (image.read.ok) {
        const packer::ImageDirectory& directory = image.read.directory;
        const std::string sha256 =
            platform::Sha256::Hex(platform::Sha256::Of(image.bytes.data(), image.bytes.size()));
        if (options.json) {
            for (const auto& entry : directory.entries) {
                QJsonObject file{{"offset", static_cast<qint64>(entry.offset)},
                                 {"size", static_cast<qint64>(entry.size)}};
                PutName(file, entry.name);
                json.Write("file", file);
            }
            result.insert("entry_count", directory.entryCount);
            result.insert("entries_used", static_cast<qint64>(directory.entries.size()));
            result.insert("used_length", static_cast<qint64>(directory.usedLength));
            result.insert("sha256", QString::fromStdString(sha256));
        } else if (!context.Quiet()) {
            PrintDirectoryText(directory, sha256, context.Out());
        }
    }
    if (!image.error.empty()) {
        context.Err() << image.error << std::endl;
        result.insert("message", QString::fromStdString(image.error));
    }
    if (options.json) {
        json.Write("result", result);
    }
    return image.error.empty() ? kExitOk : kExitFailure;
}

int RunExtract(const ImageFileOptions& options, const CommandContext& context) {
    JsonLines json(context.Out());
    QJsonObject result;
    PutName(result, options.folder, "folder");
    std::int64_t files = 0;
    const auto finish = [&](const std::string& error) {
        if (!error.empty()) {
            context.Err() << error << std::endl;
            result.insert("message", QString::fromStdString(error));
        } else if (!options.json && !context.Quiet()) {
            context.Out() << "extracted " << files << " files to " << options.folder << std::endl;
        }
        if (options.json) {
            result.insert("ok", error.empty());
            result.insert("files", static_cast<qint64>(files));
            json.Write("result", result);
        }
        return error.empty() ? kExitOk : kExitFailure;
    };

    const LoadedImage image = LoadImage(options.image);
    if (!image.error.empty()) {
        return finish(image.error);
    }
    const packer::ImageDirectory& directory = image.read.directory;
    if (context.Verbose() && !options.json) {
        context.Out() << "read " << ImageLabel(options.image) << ": " << image.bytes.size()
                      << " bytes, " << directory.entries.size() << " files" << std::endl;
    }
    const auto written = [&](const packer::ImageEntryView& entry, const std::string& path) {
        ++files;
        if (options.json) {
            QJsonObject file{{"size", static_cast<qint64>(entry.size)}};
            PutName(file, entry.name);
            PutName(file, path, "path");
            json.Write("file", file);
        } else if (context.Verbose()) {
            context.Out() << "wrote " << packer::PrintableName(path) << " (" << entry.size
                          << " bytes)" << std::endl;
        }
    };
    if (const platform::Error error = packer::ExtractImage(image.bytes.data(), image.bytes.size(),
                                                           directory, options.folder, written)) {
        return finish("extract: " + error.text);
    }
    return finish({});
}

}  // namespace

void AddPackCommands(CLI::App& app, const CommandContext& context, int& exitCode) {
    auto pack = std::make_shared<PackOptions>();
    CLI::App* packCommand =
        app.add_subcommand("pack", "pack a web folder into an image and report what it holds");
    packCommand->add_option("FOLDER", pack->folder, "web folder to pack")->required();
    packCommand->add_option("-o,--output", pack->output,
                            "image file to write, or - for standard output (then the report "
                            "goes to stderr); a device or FIFO is written as a stream");
    packCommand->add_flag("--full", pack->full,
                          "write the whole capacity, 0xFF fill included, not only the used bytes");
    packCommand->add_flag("--json", pack->json, "print the report as JSON Lines");
    AddLimitOptions(*packCommand, pack->limits);
    AddBuildOptions(*packCommand, pack->build, context.Err());
    packCommand->callback([pack, &context, &exitCode] { exitCode = RunPack(*pack, context); });

    auto list = std::make_shared<ImageFileOptions>();
    CLI::App* listCommand = app.add_subcommand("list", "check an image and print its directory");
    listCommand->add_option("IMAGE", list->image, "image file, or - for standard input")
        ->required();
    listCommand->add_flag("--json", list->json, "print the directory as JSON Lines");
    listCommand->callback([list, &context, &exitCode] { exitCode = RunList(*list, context); });

    auto extract = std::make_shared<ImageFileOptions>();
    CLI::App* extractCommand =
        app.add_subcommand("extract", "write every file of an image below a folder");
    extractCommand->add_option("IMAGE", extract->image, "image file, or - for standard input")
        ->required();
    extractCommand->add_option("DIR", extract->folder, "folder to write into (created)")
        ->required();
    extractCommand->add_flag("--json", extract->json, "print each file written as JSON Lines");
    extractCommand->callback(
        [extract, &context, &exitCode] { exitCode = RunExtract(*extract, context); });
}

}  // namespace cli
