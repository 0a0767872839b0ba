#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// SHA-256 (FIPS 180-4) from the system's maintained implementation: libcrypto's EVP interface
// on Linux, the CNG hash functions (BCryptHash...) on Windows. Both use the processor's SHA
// instructions where it has them.
class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const std::uint8_t* data, std::size_t length);
    // The digest of everything given to Update; the object is spent afterwards.
    Digest Final();

    static Digest Of(const std::uint8_t* data, std::size_t length);
    // Lower-case hexadecimal, 64 characters.
    static std::string Hex(const Digest& digest);

  private:
    struct State;  // the system's hash object
    std::unique_ptr<State> state_;
};

}  // namespace platform
