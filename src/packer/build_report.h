#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

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
    };

    std::vector<Stored> stored;
    std::vector<LeftOut> leftOut;

    void Clear() {
        stored.clear();
        leftOut.clear();
    }
};

inline constexpr const char* kLeftOutEmpty = "empty file";
inline constexpr const char* kLeftOutUnreadable = "cannot be opened or read";

}  // namespace packer
