#include "packer/web_file_table.h"

#include <algorithm>
#include <utility>

namespace packer {

WebFileTable::WebFileTable(int maxFileCount) : slotCount_(std::max(maxFileCount, 1) * 2) {}

void WebFileTable::AddWebFile(std::string baseName, std::string localPath, std::string imageName) {
    if (Full()) {
        overflowed_ = true;
        return;
    }
    slots_.push_back({std::move(baseName), std::move(localPath), std::move(imageName)});
    ++filled_;
}

const WebFileEntry& WebFileTable::operator[](int slot) const {
    static const WebFileEntry kFree;
    return slot >= 0 && slot < filled_ ? slots_[static_cast<std::size_t>(slot)] : kFree;
}

void WebFileTable::Clear() {
    // Only the run from slot 0 can be filled, so emptying it empties every slot.
    std::vector<WebFileEntry>().swap(slots_);
    filled_ = 0;
    overflowed_ = false;
}

}  // namespace packer
