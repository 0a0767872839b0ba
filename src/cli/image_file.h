#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error.h"

namespace cli {

// Largest image file the commands read: above any image the settings allow (64 MiB), small
// enough to hold at once.
inline constexpr std::size_t kMaxImageFileBytes = 256u * 1024 * 1024;

// Reads an image file for list, extract and upload. "-" reads standard input to its end;
// any other path must be a regular file (or a link to one) of at most kMaxImageFileBytes.
// Never blocks on a FIFO or device. Fails with a one-line reason, such as
// "cannot open X: Is a directory", "cannot open X: Permission denied",
// "X: not a regular file (FIFO)" or "X: larger than 268435456 bytes".
platform::Result<std::vector<std::uint8_t>> LoadImageFile(const std::string& path);

}  // namespace cli
