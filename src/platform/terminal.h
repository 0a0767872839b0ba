#pragma once

namespace platform {

// True when standard output is a terminal (a console on Windows), not a file or a pipe.
bool StdoutIsTerminal();

// Makes standard input, output and error pass bytes unchanged. On Windows they translate line
// ends by default ("\n" written becomes "\r\n"), which would make output differ from other
// systems and corrupt binary data; elsewhere they never do.
void UseBinaryStandardStreams();

}  // namespace platform
