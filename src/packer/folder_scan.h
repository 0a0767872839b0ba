#pragma once

#include <string>
#include <vector>

#include "packer/web_file_table.h"

namespace packer {

// An entry the scan walked past without adding it to the table.
struct SkippedEntry {
    std::string localPath;
    std::string reason;  // kSkipNotAFile or kSkipFolderLoop
};

inline constexpr const char* kSkipNotAFile = "not a regular file or folder";
inline constexpr const char* kSkipFolderLoop = "folder link back to one of its parents";

// Adds every file below `folderPath` to `table`, depth first, each folder's entries in the
// platform's listing order, a sub-folder's files at the place where the sub-folder is listed.
// For a file `name` in the folder: baseName = name, localPath = folderPath + "/" + name (one
// separator is always added, so a folder path ending in "/" gives "//"), imageName = "/" +
// prefix + "/" + name, or "/" + name when prefix is empty. `prefix` is the folder's relative
// path in image form ("" for the chosen folder). Links are followed, but a folder that is
// already on the current path is not entered again; FIFOs, sockets and devices are not added.
// Such entries are listed in `skipped` when given. Always returns 1.
int ScanWebFolder(const std::string& folderPath, const std::string& prefix, WebFileTable& table,
                  std::vector<SkippedEntry>* skipped = nullptr);

}  // namespace packer
