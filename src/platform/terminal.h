#pragma once

namespace platform {

// True when standard output is a terminal (a console on Windows), not a file or a pipe.
bool StdoutIsTerminal();

}  // namespace platform
