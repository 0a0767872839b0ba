#pragma once

#include <cstdint>

namespace transfer {

inline constexpr int kFramePayloadCapacity = 4096;

// One frame of the upload: payload bytes and whether the device must acknowledge it.
class COrderObj {
public:
    COrderObj() = default;
    virtual ~COrderObj() = default;

    // Sets length to `count` and copies that many bytes; 0 <= count <= 4096 is the caller's duty.
    void SetData(const std::uint8_t* source, std::int32_t count);
    // Copies length bytes to `destination` (4096 bytes) and stores length in `count`.
    void GetData(std::uint8_t* destination, std::int32_t& count) const;

    std::int32_t waitForAck = 0;
    std::int32_t length = 0;
    std::uint8_t payload[kFramePayloadCapacity] = {};
};

}  // namespace transfer
