#include "platform/user_folders.h"
#include "platform/user_folders_common.h"

#include <atomic>
#include <filesystem>
#include <iterator>

#include <windows.h>

#include "platform/handle_win.h"
#include "platform/system_text.h"
#include "platform/system_text_win.h"

namespace platform {

const char* const kConfigHomeVariable = "APPDATA";
const char* const kConfigHomeBelowHome = "AppData\\Roaming";
const char* const kProgramConfigFolderName = "Vellumix";

// Access rights on Windows live in ACLs that no attribute shows (Program Files is a folder
// without the read-only attribute that users still cannot write): the only sure answer is to
// create a file there and delete it again.
bool IsWritableFolder(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(SystemPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    static std::atomic<unsigned> counter{0};
    std::string probe = folder;
    if (probe.back() != '\\' && probe.back() != '/') {
        probe += '\\';
    }
    probe += ".vellumix-write-probe-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(counter++);
    // Deleted again as it is closed.
    return UniqueHandle(CreateFileW(SystemPath(probe).c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN |
                                        FILE_FLAG_DELETE_ON_CLOSE,
                                    nullptr))
        .IsOpen();
}

// The user's profile folder (%USERPROFILE%, else %HOMEDRIVE%%HOMEPATH% as older systems set).
std::optional<std::string> HomeFolder() {
    const auto profile = EnvironmentVariable("USERPROFILE");
    if (profile && !profile->empty()) {
        return profile;
    }
    const auto drive = EnvironmentVariable("HOMEDRIVE");
    const auto path = EnvironmentVariable("HOMEPATH");
    if (drive && path && !drive->empty() && !path->empty()) {
        return *drive + *path;
    }
    return std::nullopt;
}

std::optional<std::string> UserDataFolder() {
    const auto local = EnvironmentVariable("LOCALAPPDATA");
    if (local && !local->empty()) {
        return *local + "\\Vellumix";
    }
    const auto home = HomeFolder();
    if (!home) {
        return std::nullopt;
    }
    return *home + "\\AppData\\Local\\Vellumix";
}

// Wide calls, as for every other text from the system: a user or computer name beyond the
// ANSI code page stays whole.
std::string UserName() {
    wchar_t name[257] = {};
    DWORD size = static_cast<DWORD>(std::size(name));
    if (!GetUserNameW(name, &size)) {
        return {};
    }
    return InternalText(name);
}

std::string HostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = static_cast<DWORD>(std::size(name));
    if (!GetComputerNameW(name, &size)) {
        return {};
    }
    return InternalText(name);
}

namespace user_folder_steps {

PathKind KindAt(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::kMissing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder : PathKind::kOther;
}

// New folders inherit the ACL of the folder above, which under %APPDATA% is the user's own.
Error MakeFolder(const std::string& path) {
    if (CreateDirectoryW(SystemPath(path).c_str(), nullptr) == 0) {
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS) {
            return Error{static_cast<int>(code), SystemErrorText(code)};
        }
    }
    return {};
}

}  // namespace user_folder_steps

}  // namespace platform
