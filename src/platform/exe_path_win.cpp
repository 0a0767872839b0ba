#include "platform/exe_path.h"

#include <vector>

#include <windows.h>

#include "platform/system_text_win.h"

namespace platform {

std::optional<std::string> ExecutablePath() {
    // The path may be longer than MAX_PATH (long-path aware systems): grow until it fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::nullopt;
        }
        if (length < buffer.size()) {
            return InternalText(std::wstring_view(buffer.data(), length));
        }
        if (buffer.size() >= 32768) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
