#pragma once

namespace platform {

// The standard streams a command writes to.
enum class StandardStream { kOutput, kError };

// True when `stream` is an interactive terminal (so that a line may be redrawn in place), false
// for a file, a pipe or a closed stream.
bool IsTerminal(StandardStream stream);

}  // namespace platform
