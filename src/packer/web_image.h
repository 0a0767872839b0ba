#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packer/build_report.h"
#include "packer/pack_limits.h"
#include "packer/web_file_table.h"
#include "platform/message_box.h"

namespace packer {

// Image layout, N = maxFileCount, R = maxRomBytes, offsets from the image start:
//   0            directory: N x ImageDirectoryEntry (unused entries all zero)
//   32 x N       file contents back to back in directory order
//   usedLength   0xFF up to R
inline constexpr int kDirectoryEntrySize = 32;
inline constexpr int kImageNameField = 24;  // name[24] | offset u32 LE | size u32 LE
inline constexpr int kMaxImageNameLength = 23;
inline constexpr std::uint8_t kFillByte = 0xFF;

// Texts of the builder's messages (caption kErrorCaption, style platform::kMbIconHand).
inline constexpr const char* kErrorCaption = "ERR";
inline constexpr const char* kMsgSelectPath = "Please select the web server path!";
inline constexpr const char* kMsgPathEmpty = "web server path is empty!";
inline constexpr const char* kMsgOutOfRange = "web server file size is outof range!";
// "The File [%s] name is bigger than %d,please confirm it!" with the image name and 24.
std::string NameTooLongMessage(const std::string& imageName);
// "File [%s] Open ERROR!" with the local path.
std::string OpenErrorMessage(const std::string& localPath);
// "web server file count is bigger than %d,please confirm it!" with N: more files to store
// than directory entries, or more found than the file table holds.
std::string FileCountMessage(int maxFileCount);
// "web server directory size %d is bigger than rom size %d,please confirm it!": 32 x N > R.
std::string DirectoryTooBigMessage(std::int64_t directoryBytes, std::int64_t maxRomBytes);
// "web server path has more than %d folders or %d entries,please confirm it!": the scan stopped
// at its bounds, so what lies below the folder was not all seen.
std::string ScanLimitMessage();
// "strict build refused: [%s] was left out (%s)": a strict build and the first file or folder
// (its local path) that could not be packed, with the reason.
std::string StrictRefusalMessage(const std::string& localPath, const std::string& reason);

struct ImageDirectoryEntry {
    char name[kImageNameField] = {};  // zero-terminated, zero-padded
    std::uint32_t offset = 0;         // stored little-endian at +24
    std::uint32_t size = 0;           // stored little-endian at +28
};

// The packed image: the first usedLength bytes of imageBuffer are sent. A buffer the caller
// sized to R bytes or more gets the 0xFF fill up to R; otherwise the builder grows it to
// usedLength bytes only (the fill after them is implied and written only where an image file
// needs it), so that memory follows the files actually read.
struct WebImage {
    std::vector<std::uint8_t> imageBuffer;
    std::int32_t usedLength = 0;
};

// Writes `value` as four bytes, least significant first, whatever the host's byte order.
void StoreU32LE(std::uint8_t* destination, std::uint32_t value);

// Scans webFolder into `table` and lays the files out in `image`. Returns 1 with image.usedLength
// set, or 0 after showing the reason (caption "ERR", style 16) with image.usedLength 0. File
// contents are read straight into `image.imageBuffer` (see WebImage). The checks, in order: empty
// webFolder; the scan stopped at its bounds; no file found; the directory (32 x N) larger than R;
// more files found than the table holds; a strict build with anything left out by the scan; then
// per file in table order: name of 24 bytes or more, file unreadable (left out, the build goes on),
// empty (left out), a file beyond the N-th to store, content past R; last, a strict build with a
// file left out as unreadable. `report`, when given, lists what was stored and what was left out
// and why; on failure its `failure` holds the text of the message shown and it may give a cause
// beyond the message. `options` selects files and
// strictness; by default every file is taken and nothing is refused for being left out. When its
// stopRequested says so, the build returns 0 at once, showing nothing.
int BuildWebImage(const std::string& webFolder, const PackLimits& limits, WebFileTable& table,
                  WebImage& image, platform::MessageBoxSink& messages,
                  BuildReport* report = nullptr, const BuildOptions& options = {});

}  // namespace packer
