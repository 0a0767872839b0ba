#pragma once

#include <optional>
#include <string>

namespace platform {

// Full path of the running executable with every symbolic link resolved, or nothing when the
// platform cannot tell.
std::optional<std::string> ExecutablePath();

// The platform's path separator: '/', or '\\' on Windows.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Whether `c` separates folders in a path: '/', and on Windows also '\\'.
constexpr bool IsPathSeparator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// Position of the last separator in `path`, or npos.
inline std::string::size_type LastPathSeparator(const std::string& path) {
    for (auto at = path.size(); at > 0; --at) {
        if (IsPathSeparator(path[at - 1])) {
            return at - 1;
        }
    }
    return std::string::npos;
}

// Whether `path` names a file independently of the current folder: "/..." here; on Windows
// "\\..." or "/..." (current drive, or a network share) and "C:\\..." or "C:/...".
inline bool IsAbsolutePath(const std::string& path) {
#ifdef _WIN32
    const bool drive = path.size() >= 3 && path[1] == ':' && IsPathSeparator(path[2]) &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive || (!path.empty() && IsPathSeparator(path[0]));
#else
    return !path.empty() && path[0] == '/';
#endif
}

}  // namespace platform
