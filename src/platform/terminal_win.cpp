#include "platform/terminal.h"

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace platform {

// Only a console has a console mode; files, pipes and NUL do not.
bool IsTerminal(StandardStream stream) {
    DWORD mode = 0;
    const DWORD which = stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

namespace {

UINT outputCodePageBefore = 0;

void RestoreOutputCodePage() {
    SetConsoleOutputCP(outputCodePageBefore);
}

}  // namespace

void UseInternalTextOnTerminal() {
    if (!IsTerminal(StandardStream::kOutput) && !IsTerminal(StandardStream::kError)) {
        return;
    }
    outputCodePageBefore = GetConsoleOutputCP();
    if (outputCodePageBefore != CP_UTF8 && SetConsoleOutputCP(CP_UTF8) != 0) {
        std::atexit(RestoreOutputCodePage);
    }
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace platform
