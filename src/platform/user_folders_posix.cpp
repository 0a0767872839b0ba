#include "platform/user_folders.h"
#include "platform/user_folders_common.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

const char* const kConfigHomeVariable = "XDG_CONFIG_HOME";
const char* const kConfigHomeBelowHome = ".config";
const char* const kProgramConfigFolderName = "vellumix";

namespace {

// First guess for getpwuid_r's string buffer when sysconf gives no size.
constexpr long kPasswdBufferFallback = 16384;
constexpr mode_t kPrivateFolderMode = 0700;

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

namespace {

// One field of the current user's entry in the user database, when there is one.
std::optional<std::string> UserEntryField(char* passwd::*field) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0) {
        size = kPasswdBufferFallback;
    }
    std::vector<char> buffer(static_cast<std::size_t>(size));
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->*field == nullptr || (found->*field)[0] == '\0') {
        return std::nullopt;
    }
    return std::string(found->*field);
}

}  // namespace

std::optional<std::string> HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home);
    }
    return UserEntryField(&passwd::pw_dir);
}

std::optional<std::string> UserDataFolder() {
    // A relative $XDG_DATA_HOME is ignored, as the XDG base directories say.
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::string(data) + "/vellumix";
    }
    const auto home = HomeFolder();
    if (!home) {
        return std::nullopt;
    }
    return *home + "/.local/share/vellumix";
}

std::string UserName() {
    if (auto name = UserEntryField(&passwd::pw_name)) {
        return *name;
    }
    // A user id without an entry (containers): its number says who it was.
    return std::to_string(::getuid());
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

namespace user_folder_steps {

PathKind KindAt(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return PathKind::kMissing;
    }
    return S_ISDIR(status.st_mode) ? PathKind::kFolder : PathKind::kOther;
}

Error MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST) {
        return Error::OfErrno(errno);
    }
    return {};
}

}  // namespace user_folder_steps

}  // namespace platform
