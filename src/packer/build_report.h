#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"

namespace packer {

// Why an entry was left out of the image, as far as a strict build cares.
enum class LeftOutKind {
    Fault,     // could not be packed: unreadable, vanished, special file, folder link loop
    Empty,     // an empty file: never stored (it would get no byte of the image)
    Excluded,  // matched an --exclude pattern: left out on purpose
    Output,    // the image file being written: packing it would put the old image in the new
};

// What one build did with each file it found, for reports before an image is written.
struct BuildReport {
    struct Stored {
        std::string imageName;
        std::string localPath;
        std::uint32_t offset = 0;
        std::uint32_t size = 0;
    };
    struct LeftOut {
        std::string imageName;  // empty for entries that never became files of the table
        std::string localPath;
        std::string reason;
        LeftOutKind kind = LeftOutKind::Fault;
    };

    std::vector<Stored> stored;
    std::vector<LeftOut> leftOut;
    // When the build failed and more can be said than the message: "FOLDER: no such folder".
    std::string cause;
    // Why the build failed: the text of the message it showed last (code 0). No failure when it
    // succeeded or stopped on request.
    platform::Error failure;

    void Clear() {
        stored.clear();
        leftOut.clear();
        cause.clear();
        failure = {};
    }
    // The first entry that a strict build refuses (a Fault), or null.
    const LeftOut* FirstFault() const {
        for (const LeftOut& entry : leftOut) {
            if (entry.kind == LeftOutKind::Fault) {
                return &entry;
            }
        }
        return nullptr;
    }
};

// How a build selects and judges the files it finds.
struct BuildOptions {
    std::vector<std::string> excludes;  // globs on image names (GlobMatch); matches are left out
    bool strict = false;                // refuse the build when anything was left out as a Fault
    // Asked before each folder is listed and each file is read; true ends the build there,
    // failed, with no message (the caller knows why it asked).
    std::function<bool()> stopRequested;
    // The file the image is about to be written to, when it may lie inside the folder: whatever
    // name or link it is found by, it is left out (as Output), told by its identity.
    std::string outputFile;
};

inline constexpr const char* kLeftOutEmpty = "empty file";
inline constexpr const char* kLeftOutUnreadable = "cannot be opened or read";

}  // namespace packer
