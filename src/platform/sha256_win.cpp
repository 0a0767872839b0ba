#include "platform/sha256.h"

#include <algorithm>
#include <cstdlib>

#include <windows.h>

#include <bcrypt.h>

namespace platform {

// A failing CNG call means the system's SHA-256 provider is unusable; a wrong digest would be
// worse than stopping.
struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

void Require(NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        std::abort();
    }
}

// The provider, opened once for the process (opening is the costly part) and shared: CNG
// algorithm handles may be used from several threads at once.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        Require(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
        return opened;
    }();
    return provider;
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    Require(BCryptCreateHash(Provider(), &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
    BCryptDestroyHash(state_->hash);
}

void Sha256::Update(const std::uint8_t* data, std::size_t length) {
    // BCryptHashData takes at most 4 GiB - 1 at once.
    while (length > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(length, 1u << 30));
        Require(BCryptHashData(state_->hash, const_cast<PUCHAR>(data), chunk, 0));
        data += chunk;
        length -= chunk;
    }
}

Sha256::Digest Sha256::Final() {
    Digest digest{};
    Require(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    return digest;
}

}  // namespace platform
