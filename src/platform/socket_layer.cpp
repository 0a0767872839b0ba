#include "platform/socket_layer.h"

namespace platform {

bool SocketLayerStartup() {
    return true;
}

}  // namespace platform
