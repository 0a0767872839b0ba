#pragma once

namespace platform {

// Starts the process's socket layer before any socket exists. False when it cannot be started;
// POSIX sockets need no start-up, so here it always succeeds.
bool SocketLayerStartup();

}  // namespace platform
