#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "packer/build_report.h"
#include "packer/web_file_table.h"
#include "platform/dir_search.h"

namespace packer {

// An entry the scan walked past without adding it to the table.
struct SkippedEntry {
    std::string localPath;
    std::string reason;     // kSkipNotAFile, kSkipFolderLoop, "excluded by P", or why a folder
                            // could not be opened
    std::string imageName;  // set for files (an excluded one); empty for folders and others
    LeftOutKind kind = LeftOutKind::Fault;
};

inline constexpr const char* kSkipNotAFile = "not a regular file or folder";
inline constexpr const char* kSkipFolderLoop = "folder link back to one of its parents";
inline constexpr const char* kSkipOutputFile = "the image file being written";
// Windows: a character of the name (or of a folder above it) has no form in the ANSI code page
// that the image stores names in.
inline constexpr const char* kSkipNoStoredName = "name has no form in the ANSI code page";

// Bounds of one scan. A folder tree is walked through links, so its size is not bounded by the
// disk: a web of folder links gives exponentially many paths. These bounds keep a scan to a few
// seconds and a bounded amount of memory; a real web folder is far below them.
inline constexpr int kMaxScanFolders = 50000;           // folders listed
inline constexpr std::size_t kMaxScanEntries = 500000;  // entries listed, all folders together

struct ScanOptions {
    std::vector<std::string> excludes;  // files whose image name matches one are not added
    // A file with this identity is not added but listed in `skipped` as Output (kSkipOutputFile).
    std::optional<platform::FileIdentity> outputFile;
    int maxFolders = kMaxScanFolders;
    std::size_t maxEntries = kMaxScanEntries;
    std::function<bool()> stopRequested;  // asked before each folder is listed; true: Stopped
};

// How a scan ended.
enum class ScanEnd {
    Complete,      // every entry below the folder was looked at
    TableFull,     // a file found no free slot: the walk stopped there
    LimitReached,  // maxFolders or maxEntries was reached: the walk stopped there
    Stopped,       // stopRequested said so
};

// Why the chosen folder itself could not be listed (for explanations after an empty scan).
enum class RootState { Listed, Missing, NotAFolder, Unreadable };

struct ScanResult {
    ScanEnd end = ScanEnd::Complete;
    RootState root = RootState::Listed;
    std::string rootError;  // the system's text when the root could not be listed
};

// Adds every file below `folderPath` to `table`, depth first, each folder's entries in the
// platform's listing order, a sub-folder's files at the place where the sub-folder is listed.
// For a file `name` in the folder: baseName = name, localPath = folderPath + "/" + name (one
// separator is always added, so a folder path ending in "/" gives "//"; on Windows the
// separator is "\\" and a folder path ending in one takes no other), imageName = "/" +
// prefix + "/" + name, or "/" + name when prefix is empty, in the stored form
// (platform/system_text.h); a file whose image name has none is left out as a fault. `prefix` is
// the folder's relative path in image form ("" for the chosen folder). Links are followed, but a
// folder that is already on the current path is not entered again; FIFOs, sockets and devices are
// not added. Such entries, and sub-folders that cannot be opened, are listed in `skipped` when
// given. Files matching an exclude pattern of `options` take no slot and are listed in
// `skipped` as Excluded. The walk stops at the first file that finds the table full
// (Overflowed() is then true) or when a bound of `options` is reached; the result says how it
// ended.
ScanResult ScanWebFolderWith(const std::string& folderPath, const std::string& prefix,
                             WebFileTable& table, const ScanOptions& options,
                             std::vector<SkippedEntry>* skipped);

}  // namespace packer
