#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace packer {

// One collected file. A slot is free exactly when baseName is empty; the three strings are
// filled and emptied together.
struct WebFileEntry {
    std::string baseName;   // the file's own name
    std::string localPath;  // folder + platform separator + name: what the file is opened by
    std::string imageName;  // "/" + relative folders joined by "/" + "/" + name
};

// Table of 2 x maxFileCount slots. Filled slots always form one run from slot 0, so the fill
// count is kept and both adding and counting are O(1). Only the filled slots take memory: the
// storage grows with the files added, never past the slot count.
class WebFileTable {
  public:
    explicit WebFileTable(int maxFileCount);

    // Stores the entry in the first free slot; when every slot is taken the file is not stored
    // and Overflowed() turns true.
    void AddWebFile(std::string baseName, std::string localPath, std::string imageName);
    // True when every slot is taken: a further AddWebFile would overflow.
    bool Full() const { return filled_ >= slotCount_; }
    // Number of filled slots (the index of the first free slot).
    int CountWebFiles() const { return filled_; }
    // Empties every slot.
    void Clear();

    bool Overflowed() const { return overflowed_; }
    int SlotCount() const { return slotCount_; }
    // The entry in `slot` (0 <= slot < SlotCount()); a free slot reads as all-empty strings.
    const WebFileEntry& operator[](int slot) const;

  private:
    std::vector<WebFileEntry> slots_;  // the filled run, slots_.size() == filled_
    int slotCount_ = 2;
    int filled_ = 0;
    bool overflowed_ = false;
};

}  // namespace packer
