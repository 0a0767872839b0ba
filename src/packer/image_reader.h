#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace packer {

// One directory entry of an image that passed validation.
struct ImageEntryView {
    std::string name;          // "/..." as stored, without the zero padding
    std::uint32_t offset = 0;  // from the image start
    std::uint32_t size = 0;
};

// The validated directory of an image read from outside (a file, the wire).
struct ImageDirectory {
    int entryCount = 0;                   // N, inferred from the first entry's offset / 32
    std::vector<ImageEntryView> entries;  // the used entries, in directory order
    std::uint32_t usedLength = 0;         // 32 x N + sum of sizes
};

struct ImageReadResult {
    bool ok = false;
    std::string error;  // what is malformed, when !ok
    ImageDirectory directory;
    // Empty when the names can stand side by side in a folder; otherwise why not (two entries
    // with one name, a name that is both a file and a folder such as "/a" and "/a/b", or a name
    // with an empty, "." or ".." segment). Set only when `ok`: such an image is well formed
    // (`ok` stays true) but cannot be extracted, and list and upload refuse it too.
    std::string nameError;
};

// The error of an image whose directory holds no file. A device given one would serve nothing at
// all, so every reader refuses it (the window's builder still makes one of a folder whose files
// are all empty; the command-line tool refuses that build).
inline constexpr const char* kNoFileInImage = "no file in the image";

// Validates an untrusted image (never reads out of bounds): N inferred from the first entry's
// offset, names zero-terminated and "/"-rooted, offsets and sizes inside the data, contents back
// to back without overlaps or holes, unused entries all zero, and at least one file (otherwise
// the error is kNoFileInImage). Then checks the names (see `nameError`). Error texts print names
// with packer::PrintableName.
ImageReadResult ReadImageDirectory(const std::uint8_t* data, std::size_t length);

// The name check behind `ImageReadResult::nameError`: empty when every name is "/"-rooted with
// only proper segments, no two are equal and none is also the folder of another; otherwise the
// first problem in directory order.
std::string CheckImageNames(const std::vector<ImageEntryView>& entries);

// Writes every entry below `folder` (created when missing), creating sub-folders. Refuses,
// before anything is written, entries past the data and names that CheckImageNames refuses
// (which includes every name that would leave the folder). While writing it never follows a
// link inside `folder` and never opens an existing file: a file in the way is unlinked and
// created anew, so a hard link to a file elsewhere is not written through. Fails at the first
// problem: files written whole before it stay, a file that could not be written whole (a full
// disk) is removed, and the error's text ends with how many of the files were written.
// `written`, when set, is called after each file with its entry and the path it was written to
// (folder + name).
platform::Error ExtractImage(
    const std::uint8_t* data, std::size_t length, const ImageDirectory& directory,
    const std::string& folder,
    const std::function<void(const ImageEntryView&, const std::string&)>& written = {});

}  // namespace packer
