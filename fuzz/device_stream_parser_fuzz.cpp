// Fuzz target for the simulator's stream parser.
//
// Input: the stream first, then (taken from the end by FuzzedDataProvider) the size limit, a
// seed for the chunking and which answer, if any, the device forgets to acknowledge. Seeds are
// streams as the tool sends them followed by six such bytes.
//
// The same stream goes to two parsers: one byte at a time and in pseudo-random chunks. Checked:
//   - both end in the same state, with the same error, blocks and image (any chunking);
//   - Feed never takes more than it was given, stops exactly where an answer is due and
//     otherwise takes everything;
//   - a violation always leaves the parser failed with a reason, and failure is final;
//   - the image never exceeds the limit and is exactly the data bytes that arrived;
//   - Finish succeeds only when the magic came and every frame was answered.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "transfer/device_stream_parser.h"

namespace {

using transfer::DeviceStreamParser;
using Frame = DeviceStreamParser::Frame;

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "device_stream_parser_fuzz: %s\n", what);
    std::abort();
}

void Require(bool condition, const char* what) {
    if (!condition) {
        Fault(what);
    }
}

struct Plan {
    std::size_t maxImageBytes = transfer::kDefaultMaxImageBytes;
    std::uint32_t chunkSeed = 0;
    int unansweredFrame = -1;  // index of the answer the device leaves out, -1 for none
};

struct Outcome {
    int answers = 0;
    bool violation = false;
    bool finished = false;
    std::vector<std::uint8_t> dataBytes;  // the bytes inside data frames, as they went in
};

// Chunk sizes from a small linear congruential generator: 1 to 64 bytes, now and then large.
class Chunker {
  public:
    explicit Chunker(std::uint32_t seed) : state_(seed) {}
    std::size_t Next() {
        state_ = state_ * 1664525u + 1013904223u;
        const std::uint32_t pick = state_ >> 16;
        return (pick & 0x0F) == 0 ? 4096 : 1 + (pick % 64);
    }

  private:
    std::uint32_t state_ = 0;
};

void RequireSaneAfterFeed(const DeviceStreamParser& parser,
                          const DeviceStreamParser::FeedResult& result, std::size_t offered,
                          const Plan& plan) {
    Require(result.consumed <= offered, "Feed took more bytes than it was given");
    Require(result.violation == parser.Failed(), "violation and Failed() disagree");
    if (result.violation) {
        Require(!parser.Error().empty(), "a violation without a reason");
        Require(result.answerDue == Frame::kNone, "a violation with an answer due");
    } else if (result.answerDue != Frame::kNone) {
        Require(parser.AnswerDue(), "an answer reported due but the parser does not wait");
        Require(result.answerDue != Frame::kMagicFrame || parser.BlocksReceived() == 0,
                "a magic answer after blocks");
    } else {
        Require(result.consumed == offered, "Feed stopped early without a reason");
        Require(!parser.AnswerDue(), "an answer due that Feed did not report");
    }
    Require(parser.Image().size() <= plan.maxImageBytes, "the image grew past the limit");
    if (parser.AnswerDue()) {
        // Between frames the image is whole blocks of 1 to kBlockSize bytes.
        const auto blocks = static_cast<std::size_t>(parser.BlocksReceived());
        Require(parser.Image().size() >= blocks &&
                    parser.Image().size() <= blocks * transfer::kBlockSize,
                "the image does not fit the blocks received");
    }
}

// Feeds the stream in pieces of the sizes `next` gives, answering as the plan says.
template <typename NextSize>
Outcome Run(DeviceStreamParser& parser, const std::vector<std::uint8_t>& stream, const Plan& plan,
            NextSize next) {
    Outcome outcome;
    std::size_t offset = 0;
    while (offset < stream.size() && !outcome.violation) {
        const std::size_t length = std::min(next(), stream.size() - offset);
        std::size_t used = 0;
        while (used < length) {
            const std::size_t imageBefore = parser.Image().size();
            const auto result = parser.Feed(stream.data() + offset + used, length - used);
            RequireSaneAfterFeed(parser, result, length - used, plan);
            if (parser.Image().size() > imageBefore) {
                // New image bytes can only be the tail of what this call took.
                const std::size_t grown = parser.Image().size() - imageBefore;
                Require(grown <= result.consumed, "image bytes that were never fed");
                outcome.dataBytes.insert(outcome.dataBytes.end(),
                                         stream.data() + offset + used + result.consumed - grown,
                                         stream.data() + offset + used + result.consumed);
            }
            used += result.consumed;
            if (result.violation) {
                outcome.violation = true;
                const auto again = parser.Feed(stream.data(), stream.size());
                Require(again.violation && again.consumed == 0, "a failed parser took bytes");
                break;
            }
            if (result.answerDue != Frame::kNone) {
                if (outcome.answers++ != plan.unansweredFrame) {
                    parser.Acknowledge();
                }
            } else if (used < length) {
                Fault("Feed returned early without an answer or a violation");
            }
        }
        offset += length;
    }
    const bool wasAnswered = !parser.AnswerDue() && !parser.Failed();
    const bool sawMagic = parser.MagicReceived();
    outcome.finished = parser.Finish();
    Require(outcome.finished == parser.Complete(), "Finish() and Complete() disagree");
    if (outcome.finished) {
        Require(sawMagic && wasAnswered, "complete without the magic or with an answer missing");
        Require(parser.Finish(), "a complete upload stopped being complete");
    } else {
        Require(parser.Failed() && !parser.Error().empty(), "an incomplete upload without reason");
    }
    Require(outcome.dataBytes == parser.Image(), "the image is not the data bytes fed");
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    Plan plan;
    // Small limits reach the size check quickly; 0 keeps the default.
    const auto limit = provider.ConsumeIntegral<std::uint8_t>();
    if (limit != 0) {
        plan.maxImageBytes = static_cast<std::size_t>(limit) * 97;
    }
    plan.chunkSeed = provider.ConsumeIntegral<std::uint32_t>();
    const auto forget = provider.ConsumeIntegral<std::uint8_t>();
    plan.unansweredFrame = forget < 16 ? forget : -1;
    const std::vector<std::uint8_t> stream = provider.ConsumeRemainingBytes<std::uint8_t>();

    DeviceStreamParser byteWise(plan.maxImageBytes);
    const Outcome one = Run(byteWise, stream, plan, [] { return std::size_t{1}; });
    DeviceStreamParser chunked(plan.maxImageBytes);
    Chunker chunker(plan.chunkSeed);
    const Outcome many = Run(chunked, stream, plan, [&chunker] { return chunker.Next(); });

    Require(one.answers == many.answers, "chunking changed the number of answers");
    Require(one.violation == many.violation, "chunking changed whether the stream is valid");
    Require(one.finished == many.finished, "chunking changed the end of the upload");
    Require(byteWise.Error() == chunked.Error(), "chunking changed the error");
    Require(byteWise.BlocksReceived() == chunked.BlocksReceived(), "chunking changed the blocks");
    Require(byteWise.LastBlockLength() == chunked.LastBlockLength(),
            "chunking changed the last block length");
    Require(byteWise.Image() == chunked.Image(), "chunking changed the image");
    return 0;
}
