#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "packer/pack_limits.h"

namespace cli {

// Builds the image of `folder` with the desktop program's builder and prints what it holds,
// before anything is written: one line per stored file (image name, offset, size), the files
// left out and why, entries used of N, bytes used of R with the share, the SHA-256 of the image
// bytes and the estimated upload time. With `json` the same goes out as one JSON document.
// The builder's messages go to `err`. The image bytes (usedLength of them, or all R with
// `full`) are stored in `imageOut` when given. Returns kExitOk, or kExitFailure when the build
// failed (its message already on `err`).
int RunPackReport(const std::string& folder, const packer::PackLimits& limits, bool json,
                  std::ostream& out, std::ostream& err, std::vector<std::uint8_t>* imageOut,
                  bool full = false);

// Best time of an upload of `imageLength` bytes: one timer tick per frame and one more that
// finds the queue empty.
std::int64_t EstimatedUploadMs(std::int64_t imageLength);

}  // namespace cli
