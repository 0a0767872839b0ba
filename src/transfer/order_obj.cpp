#include "transfer/order_obj.h"

#include <algorithm>
#include <cstring>

namespace transfer {
namespace {

// An out-of-range count would read or write past a payload; keep it inside instead.
std::int32_t ClampedCount(std::int32_t count) {
    return std::clamp(count, std::int32_t{0}, std::int32_t{kFramePayloadCapacity});
}

}  // namespace

void COrderObj::SetData(const std::uint8_t* source, std::int32_t count) {
    length = ClampedCount(count);
    external_ = nullptr;
    const auto bytes = static_cast<std::size_t>(length);
    if (bytes <= kInlineBytes) {
        std::vector<std::uint8_t>().swap(heap_);
        if (bytes > 0) {
            std::memcpy(inline_.data(), source, bytes);
        }
        return;
    }
    heap_.assign(source, source + bytes);
}

void COrderObj::ReferData(const std::uint8_t* source, std::int32_t count) {
    length = ClampedCount(count);
    std::vector<std::uint8_t>().swap(heap_);
    external_ = length > 0 ? source : nullptr;
}

const std::uint8_t* COrderObj::Data() const {
    if (external_ != nullptr) {
        return external_;
    }
    return static_cast<std::size_t>(length) <= kInlineBytes ? inline_.data() : heap_.data();
}

void COrderObj::GetData(std::uint8_t* destination, std::int32_t& count) const {
    count = length;
    if (length > 0) {
        std::memcpy(destination, Data(), static_cast<std::size_t>(length));
    }
}

}  // namespace transfer
