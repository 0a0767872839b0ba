#include "platform/sha256.h"

// The parts of Sha256 that need no hash object of the system's: the one-call digest and the
// hexadecimal text.
namespace platform {

Sha256::Digest Sha256::Of(const std::uint8_t* data, std::size_t length) {
    Sha256 hash;
    hash.Update(data, length);
    return hash.Final();
}

std::string Sha256::Hex(const Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

}  // namespace platform
