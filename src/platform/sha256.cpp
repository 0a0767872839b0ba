#include "platform/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VELLUMIX_HAVE_SHA_NI 1
#endif

namespace platform {
namespace {

constexpr std::size_t kBlockBytes = 64;

alignas(16) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t RotateRight(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

std::uint32_t LoadU32BE(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void ProcessBlocksPortable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += kBlockBytes) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t) {
            w[t] = LoadU32BE(data + 4 * t);
        }
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 =
                RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 =
                RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
            const std::uint32_t choose = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + choose + kRoundConstants[t] + w[t];
            const std::uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + majority;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef VELLUMIX_HAVE_SHA_NI

bool CpuHasShaInstructions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool sha = (ebx & (1u << 29)) != 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    return sha && ssse3 && sse41;
}

// Four rounds per step; the message schedule of the next groups is formed on the way, the
// four words registers used in turn.
__attribute__((target("sha,ssse3,sse4.1"))) void ProcessBlocksShaNi(std::uint32_t state[8],
                                                                    const std::uint8_t* data,
                                                                    std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH

    for (; blocks > 0; --blocks, data += kBlockBytes) {
        const __m128i abefSaved = state0;
        const __m128i cdghSaved = state1;
        __m128i words[4];
        for (int group = 0; group < 16; ++group) {
            __m128i& current = words[group % 4];
            if (group < 4) {
                current = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
            }
            __m128i message = _mm_add_epi32(
                current,
                _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * group])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, message);
            if (group >= 3 && group <= 14) {
                __m128i& next = words[(group + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(current, words[(group + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, current);
            }
            message = _mm_shuffle_epi32(message, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, message);
            if (group >= 1 && group <= 12) {
                __m128i& previous = words[(group + 3) % 4];
                previous = _mm_sha256msg1_epu32(previous, current);
            }
        }
        state0 = _mm_add_epi32(state0, abefSaved);
        state1 = _mm_add_epi32(state1, cdghSaved);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

#endif

}  // namespace

Sha256::Sha256(bool useCpuExtensions) {
#ifdef VELLUMIX_HAVE_SHA_NI
    static const bool available = CpuHasShaInstructions();
    useShaInstructions_ = useCpuExtensions && available;
#else
    (void)useCpuExtensions;
#endif
}

void Sha256::ProcessBlocks(const std::uint8_t* data, std::size_t blocks) {
#ifdef VELLUMIX_HAVE_SHA_NI
    if (useShaInstructions_) {
        ProcessBlocksShaNi(state_, data, blocks);
        return;
    }
#endif
    ProcessBlocksPortable(state_, data, blocks);
}

void Sha256::Update(const std::uint8_t* data, std::size_t length) {
    totalLength_ += length;
    if (pendingLength_ > 0) {
        const std::size_t take = std::min(length, kBlockBytes - pendingLength_);
        std::memcpy(pending_ + pendingLength_, data, take);
        pendingLength_ += take;
        data += take;
        length -= take;
        if (pendingLength_ < kBlockBytes) {
            return;
        }
        ProcessBlocks(pending_, 1);
        pendingLength_ = 0;
    }
    const std::size_t blocks = length / kBlockBytes;
    if (blocks > 0) {
        ProcessBlocks(data, blocks);
    }
    pendingLength_ = length - blocks * kBlockBytes;
    if (pendingLength_ > 0) {
        std::memcpy(pending_, data + blocks * kBlockBytes, pendingLength_);
    }
}

Sha256::Digest Sha256::Final() {
    // Padding: 0x80, zeros up to 56 bytes of the last block, then the bit length big-endian.
    const std::uint64_t bitLength = totalLength_ * 8;
    std::uint8_t padding[2 * kBlockBytes] = {0x80};
    const std::size_t padLength =
        (pendingLength_ < 56 ? 56 - pendingLength_ : 120 - pendingLength_);
    for (int i = 0; i < 8; ++i) {
        padding[padLength + static_cast<std::size_t>(i)] =
            static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
    }
    const std::uint64_t keepTotal = totalLength_;
    Update(padding, padLength + 8);
    totalLength_ = keepTotal;

    Digest digest{};
    for (int i = 0; i < 8; ++i) {
        for (int b = 0; b < 4; ++b) {
            digest[static_cast<std::size_t>(4 * i + b)] =
                static_cast<std::uint8_t>(state_[i] >> (24 - 8 * b));
        }
    }
    return digest;
}

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
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

}  // namespace platform
