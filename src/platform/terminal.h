#pragma once

namespace platform {

// The standard streams a command writes to.
enum class StandardStream { kOutput, kError };

// True when `stream` is an interactive terminal (so that a line may be redrawn in place), false
// for a file, a pipe or a closed stream.
bool IsTerminal(StandardStream stream);

// Makes standard input, output and error pass bytes unchanged. On Windows they translate line
// ends by default ("\n" written becomes "\r\n"), which would make output differ from other
// systems and corrupt binary data; elsewhere they never do.
void UseBinaryStandardStreams();

// Makes a terminal show the text written to it (paths and names in the internal form) as it is.
// Windows consoles take bytes in their own code page, so while the program runs their output
// code page is UTF-8 (restored at exit); elsewhere nothing is to be done.
void UseInternalTextOnTerminal();

}  // namespace platform
