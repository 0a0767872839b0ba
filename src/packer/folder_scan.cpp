#include "packer/folder_scan.h"

#include <algorithm>

#include "platform/dir_search.h"

namespace packer {
namespace {

constexpr char kLocalSeparator = '/';
constexpr char kImageSeparator = '/';

struct ScanState {
    WebFileTable& table;
    std::vector<SkippedEntry>* skipped = nullptr;
    // Identities of the folders from the chosen one down to the one being listed.
    std::vector<platform::FileIdentity> ancestors;
};

void Skip(ScanState& state, std::string localPath, const char* reason) {
    if (state.skipped != nullptr) {
        state.skipped->push_back({std::move(localPath), reason});
    }
}

bool IsAncestor(const ScanState& state, const platform::FileIdentity& identity) {
    return std::find(state.ancestors.begin(), state.ancestors.end(), identity) !=
           state.ancestors.end();
}

void ScanFolder(const std::string& folderPath, const std::string& prefix, ScanState& state) {
    std::vector<platform::DirEntry> entries;
    if (!platform::ListFolder(folderPath, entries)) {
        return;  // missing or unreadable: adds nothing
    }
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
                ScanFolder(localPath, subPrefix, state);
                state.ancestors.pop_back();
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
                state.table.AddWebFile(entry.name, std::move(localPath), std::move(imageName));
                break;
            }
            case platform::DirEntryKind::Other:
                Skip(state, std::move(localPath), kSkipNotAFile);
                break;
        }
    }
}

}  // namespace

int ScanWebFolder(const std::string& folderPath, const std::string& prefix, WebFileTable& table,
                  std::vector<SkippedEntry>* skipped) {
    ScanState state{table, skipped, {}};
    if (const auto identity = platform::IdentityOf(folderPath)) {
        state.ancestors.push_back(*identity);
    }
    ScanFolder(folderPath, prefix, state);
    return 1;
}

}  // namespace packer
