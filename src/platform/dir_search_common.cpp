#include "platform/dir_search.h"

#include <algorithm>
#include <cstring>
#include <limits>

// The parts of the directory search that are the same on every system: the listing order and
// the unbounded listing.
namespace platform {
namespace {

unsigned char FoldAsciiUpper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

}  // namespace

bool ListingOrderLess(const std::string& left, const std::string& right) {
    const std::size_t common = std::min(left.size(), right.size());
    for (std::size_t i = 0; i < common; ++i) {
        const unsigned char l = FoldAsciiUpper(static_cast<unsigned char>(left[i]));
        const unsigned char r = FoldAsciiUpper(static_cast<unsigned char>(right[i]));
        if (l != r) {
            return l < r;
        }
    }
    if (left.size() != right.size()) {
        return left.size() < right.size();
    }
    // Same name apart from letter case: the raw bytes decide, so the order is total.
    return std::memcmp(left.data(), right.data(), left.size()) < 0;
}

bool ListFolder(const std::string& folderPath, std::vector<DirEntry>& entries) {
    return ListFolderUpTo(folderPath, entries, std::numeric_limits<std::size_t>::max()).failure ==
           ListFailure::None;
}

}  // namespace platform
