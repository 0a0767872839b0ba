#pragma once

#include <cstdint>
#include <string_view>

namespace transfer {

// Wire sequence of one upload, as the device reads it:
//   magic frame   13 bytes "KXHTMLUPGRADE" (no terminating zero)    -> device answers "OK"
//   per block i:  length frame, 2 bytes, n little-endian (low first) -> no answer
//                 data frame, n image bytes from offset 1024 x i       -> device answers "OK"
// Every block holds kBlockSize bytes except the last, which holds 1..kBlockSize.
inline constexpr std::string_view kMagic = "KXHTMLUPGRADE";
inline constexpr std::int32_t kMagicLength = 13;
inline constexpr std::int32_t kBlockSize = 1024;
inline constexpr std::int32_t kLengthFrameSize = 2;

static_assert(kMagic.size() == static_cast<std::size_t>(kMagicLength));

// Number of blocks an image of `imageLength` bytes is cut into (0 for an empty image).
constexpr std::int64_t BlockCount(std::int64_t imageLength) {
    return imageLength <= 0 ? 0 : (imageLength + kBlockSize - 1) / kBlockSize;
}

// Number of frames of the whole sequence: the magic frame and two per block.
constexpr std::int64_t FrameCount(std::int64_t imageLength) {
    return 1 + 2 * BlockCount(imageLength);
}

}  // namespace transfer
