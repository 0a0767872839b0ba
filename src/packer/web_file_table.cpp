#include "packer/web_file_table.h"

#include <algorithm>
#include <utility>

namespace packer {

WebFileTable::WebFileTable(int maxFileCount)
    : slots_(static_cast<std::size_t>(std::max(maxFileCount, 1)) * 2) {}

void WebFileTable::AddWebFile(std::string baseName, std::string localPath, std::string imageName) {
    if (static_cast<std::size_t>(filled_) >= slots_.size()) {
        overflowed_ = true;
        return;
    }
    WebFileEntry& slot = slots_[static_cast<std::size_t>(filled_)];
    slot.baseName = std::move(baseName);
    slot.localPath = std::move(localPath);
    slot.imageName = std::move(imageName);
    ++filled_;
}

void WebFileTable::Clear() {
    // Only the run from slot 0 can be filled, so emptying it empties every slot.
    for (int slot = 0; slot < filled_; ++slot) {
        WebFileEntry& entry = slots_[static_cast<std::size_t>(slot)];
        entry.baseName.clear();
        entry.localPath.clear();
        entry.imageName.clear();
    }
    filled_ = 0;
    overflowed_ = false;
}

}  // namespace packer
