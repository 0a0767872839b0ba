#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// How this program holds text that names files, on every system:
//   - Internally a path or name is a std::string. On Linux it is the file system's bytes, never
//     converted. On Windows it is UTF-8, converted to the system's wide (UTF-16) text at each
//     system call, so that any name the file system can hold works.
//   - The stored form is what other tools read byte for byte: the names in an image and the
//     values in a settings file. On Windows it is the ANSI code page (the one FindFirstFileA and
//     GetPrivateProfileStringA use); on Linux it is the internal form itself.

// `text` in the stored form; nothing when a character of it has none (Windows: no character of
// the ANSI code page, not even a look-alike, stands for it) or `text` is not valid UTF-8.
std::optional<std::string> StoredTextOf(std::string_view text);
// Text of the stored form in the internal form.
std::string InternalTextOf(std::string_view stored);

// The program's arguments in the internal form. On Windows they are taken from the system's
// wide command line, as argv holds them in the ANSI code page with '?' for what it lacks.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// An environment variable in the internal form, nothing when unset.
std::optional<std::string> EnvironmentVariable(const char* name);

// Converts between internal paths and the standard library's (whose narrow strings on Windows
// are neither ANSI nor UTF-8).
std::filesystem::path FileSystemPath(const std::string& path);
std::string PathText(const std::filesystem::path& path);

}  // namespace platform
