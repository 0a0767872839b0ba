#include "platform/terminal.h"

#include <unistd.h>

namespace platform {

bool IsTerminal(StandardStream stream) {
    const int descriptor = stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
    return isatty(descriptor) != 0;
}

void UseBinaryStandardStreams() {}

void UseInternalTextOnTerminal() {}

}  // namespace platform
