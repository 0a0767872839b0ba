#pragma once

#include <cstdint>

namespace platform {

// Makes the next close of the TCP socket `descriptor` (a system socket, as Qt's
// socketDescriptor() gives it) reset the connection instead of ending it in order (linger on,
// time 0). False when the system refuses.
bool SetAbortiveClose(std::intptr_t descriptor);

}  // namespace platform
