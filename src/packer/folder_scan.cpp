#include "packer/folder_scan.h"

#include <algorithm>
#include <optional>

#include "packer/glob_pattern.h"
#include "platform/dir_search.h"
#include "platform/exe_path.h"
#include "platform/system_text.h"

namespace packer {
namespace {

constexpr char kLocalSeparator = platform::kPathSeparator;
constexpr char kImageSeparator = '/';

// A folder's place below the chosen one in image form: as stored in the image (nothing when a
// folder name on the way has no stored form) and as the user reads it.
struct ImagePrefix {
    std::optional<std::string> stored;
    std::string shown;
};

// An exclude pattern, matched against stored names as the user wrote it in the internal form.
struct Exclude {
    const std::string* pattern = nullptr;
    std::optional<std::string> stored;
};

struct ScanState {
    WebFileTable& table;
    const ScanOptions& options;
    std::vector<Exclude> excludes;
    std::vector<SkippedEntry>* skipped = nullptr;
    // Identities of the folders from the chosen one down to the one being listed.
    std::vector<platform::FileIdentity> ancestors;
    int foldersListed = 0;
    std::size_t entriesListed = 0;
    ScanEnd end = ScanEnd::Complete;
};

void Skip(ScanState& state, std::string localPath, std::string reason,
          LeftOutKind kind = LeftOutKind::Fault, std::string imageName = {}) {
    if (state.skipped != nullptr) {
        state.skipped->push_back(
            {std::move(localPath), std::move(reason), std::move(imageName), kind});
    }
}

bool IsAncestor(const ScanState& state, const platform::FileIdentity& identity) {
    return std::find(state.ancestors.begin(), state.ancestors.end(), identity) !=
           state.ancestors.end();
}

// The first pattern of `excludes` that matches the image name, or null. A name or pattern with
// no stored form is matched as shown.
const std::string* MatchingExclude(const std::vector<Exclude>& excludes,
                                   const std::optional<std::string>& stored,
                                   const std::string& shown) {
    for (const Exclude& exclude : excludes) {
        const bool match = stored && exclude.stored ? GlobMatch(*exclude.stored, *stored)
                                                    : GlobMatch(*exclude.pattern, shown);
        if (match) {
            return exclude.pattern;
        }
    }
    return nullptr;
}

// `prefix` and `name` joined to an image name ("" prefix: the chosen folder itself).
std::string ImagePath(const std::string& prefix, const std::string& name, bool leadingSeparator) {
    std::string path;
    path.reserve(prefix.size() + name.size() + 2);
    if (leadingSeparator) {
        path.push_back(kImageSeparator);
    }
    if (!prefix.empty()) {
        path.append(prefix).push_back(kImageSeparator);
    }
    return path.append(name);
}

ImagePrefix Joined(const ImagePrefix& prefix, const std::string& name, bool leadingSeparator) {
    ImagePrefix joined;
    joined.shown = ImagePath(prefix.shown, name, leadingSeparator);
    if (prefix.stored) {
        if (const auto stored = platform::StoredTextOf(name)) {
            joined.stored = ImagePath(*prefix.stored, *stored, leadingSeparator);
        }
    }
    return joined;
}

// On Windows a folder path that ends in a separator ("E:\") takes none more; elsewhere one is
// always added, as the scan has always described local paths.
std::string LocalPath(const std::string& folderPath, const std::string& name) {
    std::string localPath;
    localPath.reserve(folderPath.size() + 1 + name.size());
    localPath.append(folderPath);
    if (kLocalSeparator == '/' || folderPath.empty() ||
        !platform::IsPathSeparator(folderPath.back())) {
        localPath.push_back(kLocalSeparator);
    }
    return localPath.append(name);
}

// Lists one folder within the bounds. Returns false when nothing more may be listed.
bool ListWithinBounds(const std::string& folderPath, ScanState& state,
                      std::vector<platform::DirEntry>& entries, platform::ListOutcome& outcome) {
    if (state.options.stopRequested && state.options.stopRequested()) {
        state.end = ScanEnd::Stopped;
        return false;
    }
    if (state.foldersListed >= state.options.maxFolders ||
        state.entriesListed >= state.options.maxEntries) {
        state.end = ScanEnd::LimitReached;
        return false;
    }
    ++state.foldersListed;
    outcome = platform::ListFolderUpTo(folderPath, entries,
                                       state.options.maxEntries - state.entriesListed);
    state.entriesListed += entries.size();
    if (outcome.truncated) {
        state.end = ScanEnd::LimitReached;
        return false;
    }
    return true;
}

// Walks one folder whose listing is `entries`. Returns false when the walk must stop.
bool ScanEntries(const std::string& folderPath, const ImagePrefix& prefix,
                 const std::vector<platform::DirEntry>& entries, ScanState& state);

// Lists and walks a sub-folder. Returns false when the walk must stop.
bool ScanSubFolder(const std::string& folderPath, const ImagePrefix& prefix, ScanState& state) {
    std::vector<platform::DirEntry> entries;
    platform::ListOutcome outcome;
    if (!ListWithinBounds(folderPath, state, entries, outcome)) {
        return false;
    }
    if (outcome.failure != platform::ListFailure::None) {
        Skip(state, folderPath, "folder cannot be opened: " + outcome.error);
        return true;
    }
    return ScanEntries(folderPath, prefix, entries, state);
}

bool ScanEntries(const std::string& folderPath, const ImagePrefix& prefix,
                 const std::vector<platform::DirEntry>& entries, ScanState& state) {
    for (const platform::DirEntry& entry : entries) {
        std::string localPath = LocalPath(folderPath, entry.name);

        switch (entry.kind) {
            case platform::DirEntryKind::Folder: {
                if (IsAncestor(state, entry.identity)) {
                    Skip(state, std::move(localPath), kSkipFolderLoop);
                    break;
                }
                const ImagePrefix subPrefix = Joined(prefix, entry.name, false);
                state.ancestors.push_back(entry.identity);
                const bool goOn = ScanSubFolder(localPath, subPrefix, state);
                state.ancestors.pop_back();
                if (!goOn) {
                    return false;
                }
                break;
            }
            case platform::DirEntryKind::RegularFile:
            case platform::DirEntryKind::Broken: {
                // A dangling link is entered like a file so that opening it is reported.
                ImagePrefix imageName = Joined(prefix, entry.name, true);
                if (const std::string* pattern =
                        MatchingExclude(state.excludes, imageName.stored, imageName.shown)) {
                    Skip(state, std::move(localPath), "excluded by " + *pattern,
                         LeftOutKind::Excluded,
                         imageName.stored.value_or(std::move(imageName.shown)));
                    break;
                }
                if (state.options.outputFile &&
                    platform::IdentityOf(localPath) == state.options.outputFile) {
                    Skip(state, std::move(localPath), kSkipOutputFile, LeftOutKind::Output,
                         imageName.stored.value_or(std::move(imageName.shown)));
                    break;
                }
                if (!imageName.stored) {
                    // A stand-in such as '?' would name another file on the device.
                    Skip(state, std::move(localPath), kSkipNoStoredName, LeftOutKind::Fault,
                         std::move(imageName.shown));
                    break;
                }
                state.table.AddWebFile(entry.name, std::move(localPath),
                                       std::move(*imageName.stored));
                if (state.table.Overflowed()) {
                    // The build is refused for this anyway: walking on would only cost time.
                    state.end = ScanEnd::TableFull;
                    return false;
                }
                break;
            }
            case platform::DirEntryKind::Other:
                Skip(state, std::move(localPath), kSkipNotAFile);
                break;
        }
    }
    return true;
}

}  // namespace

ScanResult ScanWebFolderWith(const std::string& folderPath, const std::string& prefix,
                             WebFileTable& table, const ScanOptions& options,
                             std::vector<SkippedEntry>* skipped) {
    ScanState state{table, options, {}, skipped, {}};
    for (const std::string& pattern : options.excludes) {
        state.excludes.push_back({&pattern, platform::StoredTextOf(pattern)});
    }
    ScanResult result;
    if (const auto identity = platform::IdentityOf(folderPath)) {
        state.ancestors.push_back(*identity);
    }
    std::vector<platform::DirEntry> entries;
    platform::ListOutcome outcome;
    if (ListWithinBounds(folderPath, state, entries, outcome)) {
        switch (outcome.failure) {
            case platform::ListFailure::None:
                ScanEntries(folderPath, ImagePrefix{platform::StoredTextOf(prefix), prefix},
                            entries, state);
                break;
            case platform::ListFailure::Missing:
                result.root = RootState::Missing;
                break;
            case platform::ListFailure::NotAFolder:
                result.root = RootState::NotAFolder;
                break;
            case platform::ListFailure::Other:
                result.root = RootState::Unreadable;
                break;
        }
        result.rootError = outcome.error;
    }
    result.end = state.end;
    return result;
}

}  // namespace packer
