#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sha256.h"

namespace {

using platform::Sha256;

std::string HexOf(const std::string& text, std::size_t chunk) {
    Sha256 hash;
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        hash.Update(data + at, std::min(chunk, text.size() - at));
    }
    return Sha256::Hex(hash.Final());
}

TEST(Sha256, MatchesStandardVectorsInAnyChunking) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: two pad blocks
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    };
    for (const Case& c : cases) {
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{63}, std::size_t{1} << 20}) {
            if (chunk == 1 && c.message.size() > 1000) {
                continue;
            }
            EXPECT_EQ(HexOf(c.message, chunk), c.digest)
                << c.message.size() << " bytes, chunk " << chunk;
        }
    }
}

TEST(Sha256, PiecewiseAndOneShotAgreeOnEveryLengthAroundBlockEdges) {
    std::string data;
    for (int i = 0; i < 300; ++i) {
        data.push_back(static_cast<char>(i * 13 + 1));
    }
    for (std::size_t length = 0; length <= data.size(); ++length) {
        const std::string part = data.substr(0, length);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(part.data());
        EXPECT_EQ(HexOf(part, 7), Sha256::Hex(Sha256::Of(bytes, part.size()))) << length;
    }
}

}  // namespace
