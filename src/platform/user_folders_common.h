#pragma once

#include <string>

#include "platform/error.h"

// The steps of CreatePrivateFolders that ask the system; user_folders_posix.cpp (POSIX) and
// user_folders_win.cpp (Windows) define them, user_folders_common.cpp walks the path with them.
namespace platform::user_folder_steps {

enum class PathKind { kMissing, kFolder, kOther };

// What stands at `path`.
PathKind KindAt(const std::string& path);
// Creates the one folder `path`, reachable by the current user only (POSIX: mode 0700; Windows:
// the ACL inherited from the folder above, which under %APPDATA% is the user's own). A folder
// that appeared meanwhile counts as made. Fails with the system's error.
Error MakeFolder(const std::string& path);

}  // namespace platform::user_folder_steps
