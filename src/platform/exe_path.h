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

}  // namespace platform
