#include "platform/system_text_win.h"
#include "platform/system_text.h"

#include <cstdlib>

#include <windows.h>

#include <shellapi.h>

namespace platform {

namespace {

// Full paths at or over this length need the prefix: folders are refused from MAX_PATH - 12 on,
// to leave room for an 8.3 name inside them.
constexpr std::size_t kPrefixedFrom = MAX_PATH - 12;

std::wstring WideOf(std::string_view text, UINT codePage, DWORD flags, bool& ok) {
    ok = true;
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (size <= 0) {
        ok = false;
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), length, wide.data(), size);
    return wide;
}

// `usedDefault`, when not null, is set when a character had no form in the code page.
std::string NarrowOf(std::wstring_view wide, UINT codePage, DWORD flags, BOOL* usedDefault) {
    if (wide.empty()) {
        return {};
    }
    const int length = static_cast<int>(wide.size());
    const int size =
        WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr, usedDefault);
    if (size <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(codePage, flags, wide.data(), length, narrow.data(), size, nullptr,
                        usedDefault);
    return narrow;
}

bool StartsWithSeparator(const std::wstring& path) {
    return !path.empty() && (path[0] == L'\\' || path[0] == L'/');
}

bool IsFullPath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    return drive ||
           (path.size() >= 2 && StartsWithSeparator(path) && (path[1] == L'\\' || path[1] == L'/'));
}

}  // namespace

std::wstring WideText(std::string_view text) {
    bool ok = true;
    return WideOf(text, CP_UTF8, 0, ok);
}

std::string InternalText(std::wstring_view wide) {
    return NarrowOf(wide, CP_UTF8, 0, nullptr);
}

std::string SystemErrorText(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr
                              ? InternalText(std::wstring_view(text, length))
                              : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

std::wstring SystemPath(const std::string& path) {
    std::wstring wide = WideText(path);
    // Paths already in the system's own form ("\\?\", "\\.\") go as they are.
    if (wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
        return wide;
    }
    // A relative path is short only together with the current folder.
    if (wide.size() < kPrefixedFrom && IsFullPath(wide)) {
        return wide;
    }
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return wide;
    }
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), size, full.data(), nullptr));
    if (full.size() < kPrefixedFrom) {
        return wide;
    }
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// WC_NO_BEST_FIT_CHARS: a character the code page lacks is a failure, never a look-alike ("a"
// for "ā") that would name another file.
std::optional<std::string> StoredTextOf(std::string_view text) {
    bool ok = true;
    const std::wstring wide = WideOf(text, CP_UTF8, MB_ERR_INVALID_CHARS, ok);
    if (!ok) {
        return std::nullopt;
    }
    if (GetACP() == CP_UTF8) {
        return std::string(text);  // the system's own "ANSI" is UTF-8: nothing to convert
    }
    BOOL usedDefault = FALSE;
    std::string stored = NarrowOf(wide, CP_ACP, WC_NO_BEST_FIT_CHARS, &usedDefault);
    if (usedDefault || (stored.empty() && !wide.empty())) {
        return std::nullopt;
    }
    return stored;
}

std::string InternalTextOf(std::string_view stored) {
    bool ok = true;
    return InternalText(WideOf(stored, CP_ACP, 0, ok));
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.push_back(InternalText(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

std::optional<std::string> EnvironmentVariable(const char* name) {
    const wchar_t* value = _wgetenv(WideText(name).c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return InternalText(value);
}

std::filesystem::path FileSystemPath(const std::string& path) {
    return std::filesystem::path(WideText(path));
}

std::string PathText(const std::filesystem::path& path) {
    return InternalText(path.native());
}

}  // namespace platform
