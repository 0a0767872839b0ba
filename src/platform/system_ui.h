#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/window_messages.h"

namespace platform {

// The system's own pieces of a desktop window, where the system has them (Windows); elsewhere
// every call here reports that there is none and does nothing.

// A native window handle (the value of QWidget::winId()); 0 for none.
using NativeWindow = std::uintptr_t;

// A desktop program started from a console writes its --help and --version text there. On
// Windows a GUI program has no standard output of its own unless redirected: this attaches it
// to the console of the process that started it, when there is one. Elsewhere: nothing to do.
void UseParentConsoleForOutput();

// True when the system has message boxes of its own (MessageBoxA).
bool HasSystemMessageBox();
// Shows the system's modal message box over `owner` (0: none) with `style` as given (MB_*
// bits: 0 OK only, 16 stop icon, 48 exclamation...), text and caption in the ANSI code page;
// returns when the user has closed it. Does nothing where there is none.
void ShowSystemMessageBox(const std::string& text, const std::string& caption, unsigned style,
                          NativeWindow owner);

// True when windows have a system menu of the program's own (the window menu of Windows).
bool HasSystemMenu();
// Appends a separator and the entry (`id`, `text` with its "&" mnemonic) to the window's system
// menu. False where there is none.
bool AppendToSystemMenu(NativeWindow window, unsigned id, const char* text);

// A system-menu command carried by a native event (WM_SYSCOMMAND): its id and parameter.
struct SystemCommand {
    unsigned id = 0;
    LParam parameter = 0;
};
// The command in the native event `message` of type `eventType` (as QWidget::nativeEvent gives
// them), or nothing when it is not one.
std::optional<SystemCommand> SystemCommandOf(const char* eventType, const void* message);

}  // namespace platform
