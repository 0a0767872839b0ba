#include "cli/upload_image.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <system_error>
#include <utility>
#include <vector>

#include "cli/cli_context.h"
#include "cli/image_file.h"
#include "cli/pack_report.h"
#include "packer/image_reader.h"
#include "packer/web_file_table.h"
#include "platform/file_read.h"
#include "platform/sha256.h"
#include "platform/system_text.h"

namespace cli {

bool IsImageSource(const std::string& source) {
    if (source == kStdinName) {
        return true;
    }
    std::error_code error;
    const auto status = std::filesystem::status(platform::FileSystemPath(source), error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

namespace {

UploadImageInfo InfoOf(const std::uint8_t* bytes, std::size_t length) {
    UploadImageInfo info;
    info.sha256 = platform::Sha256::Hex(platform::Sha256::Of(bytes, length));
    info.imageBytes = static_cast<std::int64_t>(length);
    return info;
}

// LoadImage without its line on the errors.
std::optional<PreparedImage> ReadImage(const std::string& source, const packer::PackLimits& limits,
                                       ImageFailure& failure) {
    const std::string label = source == kStdinName ? "standard input" : source;
    const auto capacity = static_cast<std::size_t>(limits.maxRomBytes);
    // Nothing past the capacity can be sent, so standard input is not read further than that.
    const bool fromStdin = source == kStdinName;
    auto loaded = fromStdin ? platform::ReadStandardInput(capacity) : LoadImageFile(source);
    if (fromStdin && !loaded && loaded.error().code == EFBIG) {
        failure.message = "image " + label + " is larger than the device's capacity";
        failure.cause = "more than " + std::to_string(capacity) + " bytes (--max-rom)";
        return std::nullopt;
    }
    if (!loaded) {
        failure.message = loaded.error().text;
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes = std::move(*loaded);
    if (bytes.size() > capacity) {
        failure.message = "image " + label + " is larger than the device's capacity";
        failure.cause = std::to_string(bytes.size()) + " bytes, at most " +
                        std::to_string(limits.maxRomBytes) + " (--max-rom)";
        return std::nullopt;
    }
    const packer::ImageReadResult result = packer::ReadImageDirectory(bytes.data(), bytes.size());
    if (!result.ok) {
        failure.message = "malformed image " + label;
        failure.cause = result.error;
        return std::nullopt;
    }
    if (!result.nameError.empty()) {
        failure.message = "image " + label + " cannot be extracted";
        failure.cause = result.nameError;
        return std::nullopt;
    }
    PreparedImage prepared;
    prepared.info = InfoOf(bytes.data(), bytes.size());
    prepared.label = label;
    prepared.kind = source == kStdinName ? "stdin" : "image";
    auto image = std::make_shared<packer::WebImage>();
    image->usedLength = static_cast<std::int32_t>(bytes.size());
    image->imageBuffer = std::move(bytes);
    prepared.image = std::move(image);
    return prepared;
}

}  // namespace

std::optional<PreparedImage> LoadImage(const std::string& source, const packer::PackLimits& limits,
                                       const CommandContext& context, ImageFailure& failure) {
    auto prepared = ReadImage(source, limits, failure);
    if (!prepared) {
        // Not a message of the window's: one line says it all.
        context.Err() << "upload: " << failure.message
                      << (failure.cause.empty() ? "" : ": " + failure.cause) << std::endl;
    }
    return prepared;
}

std::optional<PreparedImage> BuildImage(const std::string& folder, const packer::PackLimits& limits,
                                        const packer::BuildOptions& build,
                                        const CommandContext& context, ImageFailure& failure) {
    ConsoleMessageBox buildMessages(context.Err(), context.Err());
    auto image = std::make_shared<packer::WebImage>();
    packer::WebFileTable table(limits.maxFileCount);
    packer::BuildReport report;
    const bool built =
        packer::BuildWebImage(folder, limits, table, *image, buildMessages, &report, build) != 0;
    if (!built || RefusedForNoFile(folder, report)) {
        failure.message = built                     ? packer::kNoFileInImage
                          : report.failure.failed() ? report.failure.text
                                                    : "the image could not be built";
        failure.cause = report.cause;
        PrintBuildCause(report, context.Err());
        return std::nullopt;
    }
    PrintLeftOutWarnings(report, context);
    PreparedImage prepared;
    prepared.info = InfoOf(image->imageBuffer.data(), static_cast<std::size_t>(image->usedLength));
    prepared.label = folder;
    prepared.kind = "folder";
    prepared.image = std::move(image);
    return prepared;
}

std::optional<PreparedImage> PrepareImage(const std::string& source, bool fromImage,
                                          const packer::PackLimits& limits,
                                          const packer::BuildOptions& build,
                                          const CommandContext& context, ImageFailure& failure) {
    return fromImage ? LoadImage(source, limits, context, failure)
                     : BuildImage(source, limits, build, context, failure);
}

}  // namespace cli
