#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transfer/frames.h"

namespace transfer {

// Largest image the device side reassembles; a stream that would exceed it is refused.
inline constexpr std::size_t kDefaultMaxImageBytes = 64u * 1024u * 1024u;

// The device's reading of one upload stream (see transfer/frames.h for the sequence):
//   magic "KXHTMLUPGRADE"                        -> answer due
//   per block: u16 LE length n (1..1024), n bytes -> answer due after the n bytes
// Nothing of the next frame may arrive before the answer to the previous one was sent.
//
// Feed bytes in any chunking. Feed stops right after a frame that needs an answer; the caller
// sends the answer and calls Acknowledge before feeding the rest. Any byte fed while an answer
// is due, a wrong magic byte, a length of 0 or above 1024, or an image above the size limit is a
// violation: the parser fails for good and Error() says what happened. Finish() is called when
// the peer has closed: the upload is complete when the magic and a whole number of blocks came
// in and every one of them was answered.
class DeviceStreamParser {
  public:
    enum class Frame { kNone, kMagicFrame, kDataFrame };

    struct FeedResult {
        std::size_t consumed = 0;        // bytes taken from the input
        Frame answerDue = Frame::kNone;  // a frame just ended that needs an answer
        bool violation = false;          // the stream broke a rule (see Error())
    };

    explicit DeviceStreamParser(std::size_t maxImageBytes = kDefaultMaxImageBytes);

    FeedResult Feed(const std::uint8_t* data, std::size_t length);
    // The answer to the frame that was due has been sent; the next frame may begin.
    void Acknowledge();
    // The peer closed the stream. True when the upload is complete; otherwise Error() says why.
    bool Finish();

    bool AnswerDue() const { return state_ == State::kMagicAnswer || state_ == State::kDataAnswer; }
    bool Failed() const { return state_ == State::kFailed; }
    bool Complete() const { return state_ == State::kComplete; }
    bool MagicReceived() const { return magicBytes_ == kMagicBytesNeeded; }
    const std::string& Error() const { return error_; }
    // Blocks whose data frame arrived whole.
    int BlocksReceived() const { return blocksReceived_; }
    // Length of the block that arrived last (0 before any).
    int LastBlockLength() const { return lastBlockLength_; }
    // The image bytes gathered so far (all of them once Complete()).
    const std::vector<std::uint8_t>& Image() const { return image_; }

  private:
    enum class State {
        kReadingMagic,
        kMagicAnswer,
        kLengthLow,
        kLengthHigh,
        kData,
        kDataAnswer,
        kComplete,
        kFailed,
    };

    static constexpr std::size_t kMagicBytesNeeded = static_cast<std::size_t>(kMagicLength);

    FeedResult Fail(FeedResult result, std::string error);
    std::string WhereWeAre() const;

    std::size_t maxImageBytes_ = kDefaultMaxImageBytes;
    State state_ = State::kReadingMagic;
    std::size_t magicBytes_ = 0;
    int blockLength_ = 0;     // length of the block being read
    int blockBytesLeft_ = 0;  // its bytes still to come
    int blocksReceived_ = 0;
    int lastBlockLength_ = 0;
    std::vector<std::uint8_t> image_;
    std::string error_;
};

}  // namespace transfer
