#include "platform/terminal.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace platform {

// Only a console has a console mode; files, pipes and NUL do not.
bool StdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace platform
