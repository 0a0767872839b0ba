#include "platform/system_ui.h"

#include <cstdio>
#include <cstring>

#include <windows.h>

#include "platform/system_text_win.h"

namespace platform {

namespace {

HWND WindowOf(NativeWindow window) {
    return reinterpret_cast<HWND>(window);
}

}  // namespace

void UseParentConsoleForOutput() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) {
        return;  // redirected to a file or pipe, or a console program: already there
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS) == 0) {
        return;
    }
    [[maybe_unused]] FILE* out = std::freopen("CONOUT$", "w", stdout);
    [[maybe_unused]] FILE* err = std::freopen("CONOUT$", "w", stderr);
}

bool HasSystemMessageBox() {
    return true;
}

// The texts are internal text (UTF-8): a path in them shows as the user typed it.
void ShowSystemMessageBox(const std::string& text, const std::string& caption, unsigned style,
                          NativeWindow owner) {
    MessageBoxW(WindowOf(owner), WideText(text).c_str(), WideText(caption).c_str(), style);
}

bool HasSystemMenu() {
    return true;
}

bool AppendToSystemMenu(NativeWindow window, unsigned id, const char* text) {
    HMENU menu = GetSystemMenu(WindowOf(window), FALSE);
    if (menu == nullptr || text == nullptr || text[0] == '\0') {
        return false;
    }
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    return AppendMenuA(menu, MF_STRING, id, text) != 0;
}

// Qt hands every Windows message to nativeEvent as "windows_generic_MSG" with a MSG.
std::optional<SystemCommand> SystemCommandOf(const char* eventType, const void* message) {
    if (eventType == nullptr || message == nullptr ||
        std::strcmp(eventType, "windows_generic_MSG") != 0) {
        return std::nullopt;
    }
    const MSG& msg = *static_cast<const MSG*>(message);
    if (msg.message != WM_SYSCOMMAND) {
        return std::nullopt;
    }
    return SystemCommand{static_cast<unsigned>(msg.wParam), static_cast<LParam>(msg.lParam)};
}

}  // namespace platform
