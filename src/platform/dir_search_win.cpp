#include "platform/dir_search.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <system_error>

#include <windows.h>

namespace platform {
namespace {

// Names are kept in the ANSI code page, as the image has always stored them; the wide functions
// below get them converted (as the ...A functions would convert them themselves).
std::wstring Widened(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string Narrowed(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

// A walk goes as deep as the folders go, past the MAX_PATH (260) characters that plain names
// may have: a longer path is made absolute and given the "\\?\" prefix that lifts the limit
// (which also turns off the system's tidying of "/" and "..", hence the full path first).
std::wstring SystemPath(const std::string& path) {
    std::wstring wide = Widened(path);
    // Short paths, and paths already in the system's own form ("\\?\", "\\.\"), go as they are.
    if (wide.size() < MAX_PATH || wide.starts_with(L"\\\\?\\") || wide.starts_with(L"\\\\.\\")) {
        return wide;
    }
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return wide;
    }
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), size, full.data(), nullptr));
    if (full.starts_with(L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

std::string Joined(const std::string& folder, const char* name) {
    std::string path = folder;
    if (!path.empty() && path.back() != '\\' && path.back() != '/') {
        path += '\\';
    }
    return path + name;
}

// Opens the file or folder itself (a link or junction is followed) just to ask who it is.
std::optional<FileIdentity> IdentityOfPath(const std::string& path) {
    const HANDLE handle = CreateFileW(SystemPath(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (!known) {
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

// Names come in the ANSI code page, as the image has always stored them. The system returns them in
// whatever order the file system keeps (NTFS sorts, FAT and network drives do not), so they are
// sorted here as on every other system.
ListOutcome ListFolderUpTo(const std::string& folderPath, std::vector<DirEntry>& entries,
                           std::size_t maxEntries) {
    ListOutcome outcome;
    entries.clear();
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(SystemPath(Joined(folderPath, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // Even an empty folder lists "." and "..": failing here means it cannot be read.
        const DWORD error = GetLastError();
        outcome.error = std::system_category().message(static_cast<int>(error));
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
        entry.name = Narrowed(found.cFileName);
        Classify(folderPath, found, entry);
    } while (FindNextFileW(search, &found) != 0);
    FindClose(search);
    std::sort(entries.begin(), entries.end(), [](const DirEntry& a, const DirEntry& b) {
        return ListingOrderLess(a.name, b.name);
    });
    return outcome;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    return IdentityOfPath(path);
}

}  // namespace platform
