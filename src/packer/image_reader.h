#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// One directory entry of an image that passed validation.
struct ImageEntryView {
    std::string name;         // "/..." as stored, without the zero padding
    std::uint32_t offset = 0; // from the image start
    std::uint32_t size = 0;
};

// The validated directory of an image read from outside (a file, the wire).
struct ImageDirectory {
    int entryCount = 0;             // N, inferred from the first entry's offset / 32
    std::vector<ImageEntryView> entries;  // the used entries, in directory order
    std::uint32_t usedLength = 0;   // 32 x N + sum of sizes
};

struct ImageReadResult {
    bool ok = false;
    std::string error;  // what is malformed, when !ok
    ImageDirectory directory;
};

// Validates an untrusted image (never reads out of bounds): N inferred from the first entry's
// offset (or, with an empty directory, from the length), names zero-terminated and "/"-rooted,
// offsets and sizes inside the data, contents back to back without overlaps or holes, unused
// entries all zero.
ImageReadResult ReadImageDirectory(const std::uint8_t* data, std::size_t length);

// Writes every entry below `folder`, creating sub-folders; refuses names that would leave it
// ("..", ".", absolute, empty segments). Returns false with `error` set on the first problem.
bool ExtractImage(const std::uint8_t* data, std::size_t length, const ImageDirectory& directory,
                  const std::string& folder, std::string& error);

}  // namespace packer
