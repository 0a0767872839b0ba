#include "platform/socket_options.h"

#include <sys/socket.h>

namespace platform {

bool SetAbortiveClose(std::intptr_t descriptor) {
    const linger abortive{1, 0};
    return setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_LINGER, &abortive,
                      sizeof abortive) == 0;
}

}  // namespace platform
