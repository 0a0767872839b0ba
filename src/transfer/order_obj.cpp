#include "transfer/order_obj.h"

#include <algorithm>
#include <cstring>

namespace transfer {

void COrderObj::SetData(const std::uint8_t* source, std::int32_t count) {
    // An out-of-range count would write past the payload; keep it inside instead.
    length = std::clamp(count, std::int32_t{0}, std::int32_t{kFramePayloadCapacity});
    if (length > 0) {
        std::memcpy(payload, source, static_cast<std::size_t>(length));
    }
}

void COrderObj::GetData(std::uint8_t* destination, std::int32_t& count) const {
    count = length;
    if (length > 0) {
        std::memcpy(destination, payload, static_cast<std::size_t>(length));
    }
}

}  // namespace transfer
