#include <filesystem>

#include "platform/system_text.h"
#include "platform/user_folders.h"
#include "platform/user_folders_common.h"

namespace platform {

namespace {

// Walks down from the root so that every folder created, not only the last, is private. No
// failure when the whole path stands as folders; otherwise why not.
Error CreateEachLevel(const std::string& folder) {
    using user_folder_steps::PathKind;
    if (folder.empty()) {
        return Error{0, "no folder name"};
    }
    std::filesystem::path partial;
    for (const auto& part : FileSystemPath(folder).lexically_normal()) {
        if (part.empty()) {
            continue;  // the empty name after a trailing separator
        }
        partial /= part;
        if (partial == partial.root_path() || partial == partial.root_name()) {
            continue;  // "/", "C:" or "C:\": there to be walked through, never created
        }
        const std::string name = PathText(partial);
        const PathKind kind = user_folder_steps::KindAt(name);
        if (kind == PathKind::kOther) {
            return Error{0, name + " exists and is not a folder"};
        }
        if (kind == PathKind::kMissing) {
            if (const Error made = user_folder_steps::MakeFolder(name)) {
                return made.In("cannot create " + name);
            }
        }
    }
    return {};
}

}  // namespace

Error CreatePrivateFolders(const std::string& folder) {
    return CreateEachLevel(folder);
}

}  // namespace platform
