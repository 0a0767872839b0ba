#pragma once

#include <sys/stat.h>

namespace platform {

// What a file that is not a regular one is, as messages name it: "folder", "FIFO", "socket",
// "character device", "block device" (POSIX systems; defined in file_read_posix.cpp).
const char* FileKindName(mode_t mode);

}  // namespace platform
