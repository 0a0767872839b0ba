#include "platform/system_text.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> StoredTextOf(std::string_view text) {
    return std::string(text);
}

std::string InternalTextOf(std::string_view stored) {
    return std::string(stored);
}

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::optional<std::string> EnvironmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::filesystem::path FileSystemPath(const std::string& path) {
    return std::filesystem::path(path);
}

std::string PathText(const std::filesystem::path& path) {
    return path.string();
}

}  // namespace platform
