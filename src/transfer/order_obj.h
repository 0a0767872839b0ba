#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace transfer {

inline constexpr int kFramePayloadCapacity = 4096;

// One frame of the upload: payload bytes and whether the device must acknowledge it.
// A frame holds only the bytes it carries: a few bytes (the magic and length frames) inside the
// object, more on the heap, or, given with ReferData, none at all but a view of bytes the caller
// keeps alive and unchanged for the frame's life (the image a data frame was cut from). The
// class name is the one the desktop program's design gives its frame object.
class COrderObj {
  public:
    // Sets length to `count` (kept within 0..kFramePayloadCapacity) and copies that many bytes.
    void SetData(const std::uint8_t* source, std::int32_t count);
    // Sets length to `count` (kept within 0..kFramePayloadCapacity) and refers to the bytes at
    // `source` without copying them.
    void ReferData(const std::uint8_t* source, std::int32_t count);
    // Copies length bytes to `destination` (4096 bytes) and stores length in `count`.
    void GetData(std::uint8_t* destination, std::int32_t& count) const;
    // The length payload bytes.
    const std::uint8_t* Data() const;

    std::int32_t waitForAck = 0;
    std::int32_t length = 0;

  private:
    static constexpr std::size_t kInlineBytes = 16;  // the magic (13) and length (2) frames fit

    std::array<std::uint8_t, kInlineBytes> inline_{};
    std::vector<std::uint8_t> heap_;          // owned bytes beyond kInlineBytes
    const std::uint8_t* external_ = nullptr;  // referred bytes (ReferData)
};

}  // namespace transfer
