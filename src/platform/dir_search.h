#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a directory entry is, symbolic links followed.
enum class DirEntryKind {
    Folder,       // a folder, or a link to one
    RegularFile,  // a regular file, or a link to one
    Broken,       // a link whose target cannot be reached: listed like a file, opening fails
    Other,        // FIFO, socket, device: never to be opened
};

// Identifies a folder on this machine, so that a walk can tell when it comes back to one.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct DirEntry {
    std::string name;
    DirEntryKind kind = DirEntryKind::Other;
    FileIdentity identity;  // set for folders only
};

// Lists every entry of `folderPath` except "." and "..", hidden ones included, into `entries`
// (replacing its content). The order is fixed on every machine: names compared with ASCII
// letters folded to upper case, ties broken by the raw bytes. Returns false, with `entries`
// empty, when the folder cannot be opened.
bool ListFolder(const std::string& folderPath, std::vector<DirEntry>& entries);

// The identity of the folder or file at `path` (links followed), if it can be reached.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// True when `left` comes before `right` in the listing order of ListFolder.
bool ListingOrderLess(const std::string& left, const std::string& right);

}  // namespace platform
