#include "platform/open_file_limit.h"

namespace platform {

// Windows sets no per-process limit on sockets and handles that a program could raise (the C
// library's own limit on stdio streams does not apply to sockets).
long RaiseOpenFileLimit() {
    return -1;
}

long SpareFileDescriptors() {
    return -1;
}

}  // namespace platform
