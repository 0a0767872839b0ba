#include <filesystem>

#include "platform/system_text.h"
#include "platform/user_folders.h"
#include "platform/user_folders_common.h"

namespace platform {

namespace {

// Walks down from the root so that every folder created, not only the last, is private. Empty
// when the whole path stands as folders; otherwise why not.
std::string CreateEachLevel(const std::string& folder) {
    using user_folder_steps::PathKind;
    if (folder.empty()) {
        return "no folder name";
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
            return name + " exists and is not a folder";
        }
        std::string reason;
        if (kind == PathKind::kMissing && !user_folder_steps::MakeFolder(name, reason)) {
            return "cannot create " + name + ": " + reason;
        }
    }
    return {};
}

}  // namespace

bool CreatePrivateFolders(const std::string& folder, std::string* error) {
    const std::string failure = CreateEachLevel(folder);
    if (!failure.empty() && error != nullptr) {
        *error = failure;
    }
    return failure.empty();
}

}  // namespace platform
