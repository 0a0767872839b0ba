#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cli/command_context.h"
#include "cli/fleet_printer.h"
#include "packer/build_report.h"
#include "packer/pack_limits.h"
#include "packer/web_image.h"

namespace cli {

// The SOURCE that names standard input.
inline constexpr char kStdinName[] = "-";

// The image to send and what the result and the ledger say of it.
struct PreparedImage {
    std::shared_ptr<const packer::WebImage> image;
    UploadImageInfo info;
    std::string label;  // the folder or image file it came from
    std::string kind;   // how the ledger names where it came from: "folder", "image" or "stdin"
};

// Why no image could be prepared: the message (the system's own, or the error text) and its
// cause when one is known.
struct ImageFailure {
    std::string message;
    std::string cause;
};

// True when `source` names an image rather than a web folder: "-" (standard input), or
// anything that exists and is not a folder (a regular file, and also a FIFO or device, which
// the image reader then refuses). A path that does not exist stays a folder, so that the
// builder says "web server path is empty!" as the window does.
bool IsImageSource(const std::string& source);

// An image file (or standard input), sent exactly as it is after the checks of `list`, and
// refused when it holds more than the device's capacity R. Its directory keeps its own entry
// count N: the device takes the bytes as they are, so --max-files does not apply to it. A
// failure is also said on the context's errors, in one line "upload: MESSAGE[: CAUSE]".
std::optional<PreparedImage> LoadImage(const std::string& source, const packer::PackLimits& limits,
                                       const CommandContext& context, ImageFailure& failure);

// The image of a web folder, built as the window's Start builds it: its messages, the cause of
// a failure and what was left out go to the context's errors.
std::optional<PreparedImage> BuildImage(const std::string& folder, const packer::PackLimits& limits,
                                        const packer::BuildOptions& build,
                                        const CommandContext& context, ImageFailure& failure);

// LoadImage when `fromImage` (IsImageSource(source)), else BuildImage.
std::optional<PreparedImage> PrepareImage(const std::string& source, bool fromImage,
                                          const packer::PackLimits& limits,
                                          const packer::BuildOptions& build,
                                          const CommandContext& context, ImageFailure& failure);

}  // namespace cli
