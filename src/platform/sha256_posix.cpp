#include "platform/sha256.h"

#include <cstdlib>

#include <openssl/evp.h>

namespace platform {

// A failing EVP call means libcrypto itself is broken (SHA-256 is in every provider); a wrong
// digest would be worse than stopping.
struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
};

namespace {

void Require(int ok) {
    if (ok != 1) {
        std::abort();
    }
}

}  // namespace

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr) {
        std::abort();
    }
    Require(EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr));
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(state_->context);
}

void Sha256::Update(const std::uint8_t* data, std::size_t length) {
    if (length > 0) {
        Require(EVP_DigestUpdate(state_->context, data, length));
    }
}

Sha256::Digest Sha256::Final() {
    Digest digest{};
    unsigned int size = 0;
    Require(EVP_DigestFinal_ex(state_->context, digest.data(), &size));
    return digest;
}

}  // namespace platform
