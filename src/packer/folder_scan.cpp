#include "packer/folder_scan.h"

#include <algorithm>

#include "packer/glob_pattern.h"
#include "platform/dir_search.h"

namespace packer {
namespace {

constexpr char kLocalSeparator = '/';
constexpr char kImageSeparator = '/';

struct ScanState {
    WebFileTable& table;
    const ScanOptions& options;
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

// The first pattern of `excludes` that matches `imageName`, or null.
const std::string* MatchingExclude(const std::vector<std::string>& excludes,
                                   const std::string& imageName) {
    for (const std::string& pattern : excludes) {
        if (GlobMatch(pattern, imageName)) {
            return &pattern;
        }
    }
    return nullptr;
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
bool ScanEntries(const std::string& folderPath, const std::string& prefix,
                 const std::vector<platform::DirEntry>& entries, ScanState& state);

// Lists and walks a sub-folder. Returns false when the walk must stop.
bool ScanSubFolder(const std::string& folderPath, const std::string& prefix, ScanState& state) {
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

bool ScanEntries(const std::string& folderPath, const std::string& prefix,
                 const std::vector<platform::DirEntry>& entries, ScanState& state) {
    for (const platform::DirEntry& entry : entries) {
        std::string localPath;
        localPath.reserve(folderPath.size() + 1 + entry.name.size());
        localPath.append(folderPath).push_back(kLocalSeparator);
        localPath.append(entry.name);

        switch (entry.kind) {
            case platform::DirEntryKind::Folder: {
                if (IsAncestor(state, entry.identity)) {
                    Skip(state, std::move(localPath), kSkipFolderLoop);
                    break;
                }
                std::string subPrefix = prefix;
                if (!subPrefix.empty()) {
                    subPrefix.push_back(kImageSeparator);
                }
                subPrefix.append(entry.name);
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
                std::string imageName;
                imageName.reserve(prefix.size() + entry.name.size() + 2);
                imageName.push_back(kImageSeparator);
                if (!prefix.empty()) {
                    imageName.append(prefix).push_back(kImageSeparator);
                }
                imageName.append(entry.name);
                if (const std::string* pattern =
                        MatchingExclude(state.options.excludes, imageName)) {
                    Skip(state, std::move(localPath), "excluded by " + *pattern,
                         LeftOutKind::Excluded, std::move(imageName));
                    break;
                }
                if (state.options.outputFile &&
                    platform::IdentityOf(localPath) == state.options.outputFile) {
                    Skip(state, std::move(localPath), kSkipOutputFile, LeftOutKind::Output,
                         std::move(imageName));
                    break;
                }
                state.table.AddWebFile(entry.name, std::move(localPath), std::move(imageName));
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
    ScanState state{table, options, skipped, {}};
    ScanResult result;
    if (const auto identity = platform::IdentityOf(folderPath)) {
        state.ancestors.push_back(*identity);
    }
    std::vector<platform::DirEntry> entries;
    platform::ListOutcome outcome;
    if (ListWithinBounds(folderPath, state, entries, outcome)) {
        switch (outcome.failure) {
            case platform::ListFailure::None:
                ScanEntries(folderPath, prefix, entries, state);
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

int ScanWebFolder(const std::string& folderPath, const std::string& prefix, WebFileTable& table,
                  std::vector<SkippedEntry>* skipped) {
    ScanWebFolderWith(folderPath, prefix, table, ScanOptions{}, skipped);
    return 1;
}

}  // namespace packer
