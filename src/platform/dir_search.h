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

// Why a folder could not be listed.
enum class ListFailure {
    None,
    Missing,     // nothing at that path (or a link to nothing)
    NotAFolder,  // a file or other non-folder at that path
    Other,       // anything else: permissions, a path too long, an I/O error
};

struct ListOutcome {
    ListFailure failure = ListFailure::None;
    std::string error;       // the system's text for the failure, empty on success
    bool truncated = false;  // the folder held more than the entries allowed
};

// As ListFolder, but reads at most `maxEntries` entries: a folder holding more gives the first
// ones read (in no particular order, then sorted) and `truncated`. The failure says why a
// folder could not be opened, for reports.
ListOutcome ListFolderUpTo(const std::string& folderPath, std::vector<DirEntry>& entries,
                           std::size_t maxEntries);

// The identity of the folder or file at `path` (links followed), if it can be reached.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// True when `left` comes before `right` in the listing order of ListFolder.
bool ListingOrderLess(const std::string& left, const std::string& right);

}  // namespace platform
