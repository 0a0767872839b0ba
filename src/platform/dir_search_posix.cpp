#include "platform/dir_search.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace platform {
namespace {

DirEntryKind KindOf(const struct stat& status) {
    if (S_ISDIR(status.st_mode)) {
        return DirEntryKind::Folder;
    }
    if (S_ISREG(status.st_mode)) {
        return DirEntryKind::RegularFile;
    }
    return DirEntryKind::Other;
}

FileIdentity IdentityFrom(const struct stat& status) {
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Fills kind (and identity for folders) for one entry. The entry type from readdir saves a
// stat call for plain files, which matters for folders of many thousand files.
void Classify(int folderFd, const struct dirent& raw, DirEntry& entry) {
    struct stat status {};
    switch (raw.d_type) {
        case DT_REG:
            entry.kind = DirEntryKind::RegularFile;
            return;
        case DT_FIFO:
        case DT_SOCK:
        case DT_CHR:
        case DT_BLK:
            entry.kind = DirEntryKind::Other;
            return;
        default:
            break;  // DT_DIR, DT_LNK, DT_UNKNOWN: ask the file system, links followed
    }
    if (fstatat(folderFd, raw.d_name, &status, 0) != 0) {
        entry.kind = DirEntryKind::Broken;
        return;
    }
    entry.kind = KindOf(status);
    if (entry.kind == DirEntryKind::Folder) {
        entry.identity = IdentityFrom(status);
    }
}

}  // namespace

ListOutcome ListFolderUpTo(const std::string& folderPath, std::vector<DirEntry>& entries,
                           std::size_t maxEntries) {
    ListOutcome outcome;
    entries.clear();
    DIR* folder = opendir(folderPath.c_str());
    if (folder == nullptr) {
        const int error = errno;
        outcome.error = std::strerror(error);
        outcome.failure = error == ENOENT    ? ListFailure::Missing
                          : error == ENOTDIR ? ListFailure::NotAFolder
                                             : ListFailure::Other;
        return outcome;
    }
    const int folderFd = dirfd(folder);
    while (const struct dirent* raw = readdir(folder)) {
        if (std::strcmp(raw->d_name, ".") == 0 || std::strcmp(raw->d_name, "..") == 0) {
            continue;
        }
        if (entries.size() >= maxEntries) {
            outcome.truncated = true;
            break;
        }
        DirEntry& entry = entries.emplace_back();
        entry.name = raw->d_name;
        Classify(folderFd, *raw, entry);
    }
    closedir(folder);
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
        return ListingOrderLess(a.name, b.name);
    });
    return outcome;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return IdentityFrom(status);
}

}  // namespace platform
