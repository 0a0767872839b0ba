#include "platform/user_folders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// First guess for getpwuid_r's string buffer when sysconf gives no size.
constexpr long kPasswdBufferFallback = 16384;
constexpr mode_t kPrivateFolderMode = 0700;

void SetError(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
}

}  // namespace

bool IsWritableFolder(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    // access() also answers EROFS for a read-only mount, which root's rights do not override.
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::optional<std::string> HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home);
    }
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) {
        size = kPasswdBufferFallback;
    }
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return std::nullopt;
    }
    return std::string(found->pw_dir);
}

bool CreatePrivateFolders(const std::string& folder, std::string* error) {
    if (folder.empty()) {
        SetError(error, "no folder name");
        return false;
    }
    // Walk down from the root so that every folder we create, not only the last, is private.
    std::filesystem::path partial;
    for (const auto& part : std::filesystem::path(folder).lexically_normal()) {
        if (part.empty()) {
            continue;  // the empty name after a trailing separator
        }
        partial /= part;
        struct stat status {};
        if (::stat(partial.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                SetError(error, partial.string() + " exists and is not a folder");
                return false;
            }
            continue;
        }
        if (::mkdir(partial.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
            SetError(error, "cannot create " + partial.string() + ": " + std::strerror(errno));
            return false;
        }
    }
    return true;
}

}  // namespace platform
