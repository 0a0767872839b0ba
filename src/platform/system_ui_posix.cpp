#include "platform/system_ui.h"

namespace platform {

// Desktops here have no system menu or message box of the program's own: the window offers
// Qt's boxes and its About entry in the context menu and on F1 instead.

void UseParentConsoleForOutput() {}

bool HasSystemMessageBox() {
    return false;
}

void ShowSystemMessageBox(const std::string&, const std::string&, unsigned, NativeWindow) {}

bool HasSystemMenu() {
    return false;
}

bool AppendToSystemMenu(NativeWindow, unsigned, const char*) {
    return false;
}

std::optional<SystemCommand> SystemCommandOf(const char*, const void*) {
    return std::nullopt;
}

}  // namespace platform
