#include "platform/terminal.h"

#include <windows.h>

namespace platform {

// Only a console has a console mode; files, pipes and NUL do not.
bool StdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

}  // namespace platform
