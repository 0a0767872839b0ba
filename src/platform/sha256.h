#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// SHA-256 (FIPS 180-4). Uses the processor's SHA instructions where it has them, so hashing a
// large image costs little next to reading its files; the portable rounds give the same result.
class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    // `useCpuExtensions` false forces the portable rounds (for tests).
    explicit Sha256(bool useCpuExtensions = true);

    void Update(const std::uint8_t* data, std::size_t length);
    // The digest of everything given to Update; the object is spent afterwards.
    Digest Final();

    static Digest Of(const std::uint8_t* data, std::size_t length);
    // Lower-case hexadecimal, 64 characters.
    static std::string Hex(const Digest& digest);

  private:
    void ProcessBlocks(const std::uint8_t* data, std::size_t blocks);

    std::uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::uint8_t pending_[64] = {};
    std::size_t pendingLength_ = 0;
    std::uint64_t totalLength_ = 0;
    bool useShaInstructions_ = false;
};

}  // namespace platform
