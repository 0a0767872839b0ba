#include "transfer/device_stream_parser.h"

#include <algorithm>
#include <cstdio>

namespace transfer {

namespace {

std::string Hex(std::uint8_t byte) {
    char text[8] = {};
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

}  // namespace

DeviceStreamParser::DeviceStreamParser(std::size_t maxImageBytes) : maxImageBytes_(maxImageBytes) {}

DeviceStreamParser::FeedResult DeviceStreamParser::Feed(const std::uint8_t* data,
                                                        std::size_t length) {
    FeedResult result;
    if (state_ == State::kFailed) {
        result.violation = true;
        return result;
    }
    if (length == 0) {
        return result;
    }
    if (data == nullptr) {
        return Fail(result, "no bytes to read");
    }
    while (result.consumed < length) {
        const std::uint8_t byte = data[result.consumed];
        switch (state_) {
            case State::kReadingMagic: {
                const auto expected = static_cast<std::uint8_t>(kMagic[magicBytes_]);
                if (byte != expected) {
                    return Fail(result, "bad magic: byte " + std::to_string(magicBytes_ + 1) +
                                            " of 13 is " + Hex(byte) + ", expected '" +
                                            static_cast<char>(expected) + "'");
                }
                ++magicBytes_;
                ++result.consumed;
                if (magicBytes_ == kMagicBytesNeeded) {
                    state_ = State::kMagicAnswer;
                    result.answerDue = Frame::kMagicFrame;
                    return result;
                }
                break;
            }
            case State::kMagicAnswer:
            case State::kDataAnswer:
                return Fail(result,
                            "bytes of the next frame arrived before the answer to " + WhereWeAre());
            case State::kLengthLow:
                blockLength_ = byte;
                ++result.consumed;
                state_ = State::kLengthHigh;
                break;
            case State::kLengthHigh: {
                blockLength_ |= byte << 8;
                ++result.consumed;
                const std::string block = "block " + std::to_string(blocksReceived_ + 1);
                if (blockLength_ < 1 || blockLength_ > kBlockSize) {
                    return Fail(result, block + ": bad length " + std::to_string(blockLength_) +
                                            " (must be 1 to " + std::to_string(kBlockSize) + ")");
                }
                if (image_.size() + static_cast<std::size_t>(blockLength_) > maxImageBytes_) {
                    return Fail(result, block + ": the image would exceed " +
                                            std::to_string(maxImageBytes_) + " bytes");
                }
                blockBytesLeft_ = blockLength_;
                state_ = State::kData;
                break;
            }
            case State::kData: {
                const std::size_t take =
                    std::min(static_cast<std::size_t>(blockBytesLeft_), length - result.consumed);
                image_.insert(image_.end(), data + result.consumed, data + result.consumed + take);
                result.consumed += take;
                blockBytesLeft_ -= static_cast<int>(take);
                if (blockBytesLeft_ == 0) {
                    ++blocksReceived_;
                    lastBlockLength_ = blockLength_;
                    state_ = State::kDataAnswer;
                    result.answerDue = Frame::kDataFrame;
                    return result;
                }
                break;
            }
            case State::kComplete:
                return Fail(result, "bytes after the end of the upload");
            case State::kFailed:
                result.violation = true;
                return result;
        }
    }
    return result;
}

void DeviceStreamParser::Acknowledge() {
    if (AnswerDue()) {
        state_ = State::kLengthLow;
    }
}

bool DeviceStreamParser::Finish() {
    switch (state_) {
        case State::kLengthLow:
            state_ = State::kComplete;
            return true;
        case State::kComplete:
            return true;
        case State::kFailed:
            return false;
        case State::kMagicAnswer:
        case State::kDataAnswer:
            Fail(FeedResult{},
                 "the connection closed before the answer to " + WhereWeAre() + " was sent");
            return false;
        default:
            Fail(FeedResult{}, "the connection closed " + WhereWeAre());
            return false;
    }
}

DeviceStreamParser::FeedResult DeviceStreamParser::Fail(FeedResult result, std::string error) {
    state_ = State::kFailed;
    error_ = std::move(error);
    result.violation = true;
    result.answerDue = Frame::kNone;
    return result;
}

// The point of the stream reached, worded to follow "before the answer to" (answer states) or
// "the connection closed" (others).
std::string DeviceStreamParser::WhereWeAre() const {
    const std::string nextBlock = "block " + std::to_string(blocksReceived_ + 1);
    switch (state_) {
        case State::kReadingMagic:
            return magicBytes_ == 0 ? "before any byte arrived"
                                    : "after " + std::to_string(magicBytes_) + " of 13 magic bytes";
        case State::kMagicAnswer:
            return "the magic frame";
        case State::kDataAnswer:
            return "block " + std::to_string(blocksReceived_);
        case State::kLengthHigh:
            return "inside the length frame of " + nextBlock;
        case State::kData:
            return "after " + std::to_string(blockLength_ - blockBytesLeft_) + " of " +
                   std::to_string(blockLength_) + " bytes of " + nextBlock;
        default:
            return "between blocks";
    }
}

}  // namespace transfer
