#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/pack_limits.h"
#include "packer/web_file_table.h"
#include "platform/message_box.h"

namespace packer {

// Image layout, N = maxFileCount, R = maxRomBytes, offsets from the image start:
//   0            directory: N x ImageDirectoryEntry (unused entries all zero)
//   32 x N       file contents back to back in directory order
//   usedLength   0xFF up to R
inline constexpr int kDirectoryEntrySize = 32;
inline constexpr int kImageNameField = 24;   // name[24] | offset u32 LE | size u32 LE
inline constexpr int kMaxImageNameLength = 23;

struct ImageDirectoryEntry {
    char name[kImageNameField] = {};  // zero-terminated, zero-padded
    std::uint32_t offset = 0;         // stored little-endian at +24
    std::uint32_t size = 0;           // stored little-endian at +28
};

// The packed image: imageBuffer holds 2 x R bytes, the first usedLength of which are sent.
struct WebImage {
    std::vector<std::uint8_t> imageBuffer;
    std::int32_t usedLength = 0;
};

// Writes `value` as four bytes, least significant first, whatever the host's byte order.
void StoreU32LE(std::uint8_t* destination, std::uint32_t value);

// Reads the whole file into readBuffer (at most its size). Returns the byte count, 0 for an
// empty file and for one that cannot be opened or read (then "File [%s] Open ERROR!" is shown).
int ReadWebFile(const std::string& localPath, std::vector<std::uint8_t>& readBuffer,
                platform::MessageBoxSink& messages);

// Scans webFolder into `table` and lays the files out in `image`. Returns 1 with
// image.usedLength set, or 0 after showing the reason (caption "ERR", style 16) with
// image.usedLength 0. `image.imageBuffer` must hold 2 x R bytes, `readBuffer` R bytes.
int BuildWebImage(const std::string& webFolder, const PackLimits& limits, WebFileTable& table,
                  WebImage& image, std::vector<std::uint8_t>& readBuffer,
                  platform::MessageBoxSink& messages);

}  // namespace packer
