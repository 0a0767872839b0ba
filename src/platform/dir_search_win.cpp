#include "platform/dir_search.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>

#include <windows.h>

#include "platform/handle_win.h"
#include "platform/system_text.h"
#include "platform/system_text_win.h"

namespace platform {
namespace {

std::string Joined(const std::string& folder, const char* name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') {
        path += '\\';
    }
    return path + name;
}

// Opens the file or folder itself (a link or junction is followed) just to ask who it is.
std::optional<FileIdentity> IdentityOfPath(const std::string& path) {
    const UniqueHandle handle(CreateFileW(
        SystemPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle.IsOpen() || GetFileInformationByHandle(handle.Get(), &info) == 0) {
        return std::nullopt;
    }
    return FileIdentity{
        info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Kind (and identity for folders) of one entry. A plain entry is what the search says it is;
// a symbolic link or junction is followed, and one whose target is gone is Broken.
void Classify(const std::string& folderPath, const WIN32_FIND_DATAW& found, DirEntry& entry) {
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!isLink && !isFolder) {
        entry.kind = DirEntryKind::RegularFile;
        return;
    }
    const std::string path = Joined(folderPath, entry.name.c_str());
    if (isLink) {
        const DWORD target = GetFileAttributesW(SystemPath(path).c_str());
        const auto identity = IdentityOfPath(path);
        if (target == INVALID_FILE_ATTRIBUTES || !identity) {
            entry.kind = DirEntryKind::Broken;
            return;
        }
    }
    if (!isFolder) {
        entry.kind = DirEntryKind::RegularFile;
        return;
    }
    const auto identity = IdentityOfPath(path);
    if (!identity) {
        entry.kind = DirEntryKind::Broken;
        return;
    }
    entry.kind = DirEntryKind::Folder;
    entry.identity = *identity;
}

}  // namespace

// Names come in the internal form (UTF-8), whatever the ANSI code page holds. The system returns
// them in whatever order the file system keeps (NTFS sorts, FAT and network drives do not), so
// they are sorted here as on every other system.
ListOutcome ListFolderUpTo(const std::string& folderPath, std::vector<DirEntry>& entries,
                           std::size_t maxEntries) {
    ListOutcome outcome;
    entries.clear();
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(SystemPath(Joined(folderPath, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // Even an empty folder lists "." and "..": failing here means it cannot be read.
        outcome.error = SystemErrorText(GetLastError());
        const DWORD attributes = GetFileAttributesW(SystemPath(folderPath).c_str());
        outcome.failure = attributes == INVALID_FILE_ATTRIBUTES          ? ListFailure::Missing
                          : (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? ListFailure::NotAFolder
                                                                         : ListFailure::Other;
        return outcome;
    }
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) {
            continue;
        }
        if (entries.size() >= maxEntries) {
            outcome.truncated = true;
            break;
        }
        DirEntry& entry = entries.emplace_back();
        entry.name = InternalText(found.cFileName);
        Classify(folderPath, found, entry);
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
    // Sorted by the names the image will hold, so the order is the one the ANSI names always had.
    std::vector<std::pair<std::string, DirEntry>> keyed;
    keyed.reserve(entries.size());
    for (DirEntry& entry : entries) {
        std::string key = StoredTextOf(entry.name).value_or(entry.name);
        keyed.emplace_back(std::move(key), std::move(entry));
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        return ListingOrderLess(a.first, b.first) ||
               (a.first == b.first && ListingOrderLess(a.second.name, b.second.name));
    });
    entries.clear();
    for (auto& [key, entry] : keyed) {
        entries.push_back(std::move(entry));
    }
    return outcome;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    return IdentityOfPath(path);
}

}  // namespace platform
