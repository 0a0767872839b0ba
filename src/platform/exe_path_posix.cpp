#include "platform/exe_path.h"

#include <filesystem>
#include <system_error>

namespace platform {

std::optional<std::string> ExecutablePath() {
    std::error_code error;
    const auto path = std::filesystem::canonical("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return path.string();
}

}  // namespace platform
