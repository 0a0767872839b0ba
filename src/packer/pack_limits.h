#pragma once

#include <cstdint>

namespace packer {

// The two capacities of a web image, as read from the settings at start-up.
struct PackLimits {
    std::int32_t maxRomBytes = 196608;  // image capacity R in bytes, a whole number of KiB
    std::int32_t maxFileCount = 40;     // directory entries N; the file table has 2 x N slots
};

}  // namespace packer
