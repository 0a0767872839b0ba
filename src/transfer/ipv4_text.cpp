#include "transfer/ipv4_text.h"

#include <cctype>
#include <vector>

namespace transfer {

namespace {

constexpr int kFieldCount = 4;
constexpr std::size_t kMaxFieldDigits = 3;
constexpr int kMaxFieldValue = 255;

bool IsDecimal(const std::string& part) {
    if (part.empty()) {
        return false;
    }
    for (const char c : part) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

// "0x", "0x7f", "0XFF": what inet_aton reads as a hexadecimal number.
bool IsHexadecimal(const std::string& part) {
    if (part.size() < 2 || part[0] != '0' || (part[1] != 'x' && part[1] != 'X')) {
        return false;
    }
    for (std::size_t i = 2; i < part.size(); ++i) {
        if (std::isxdigit(static_cast<unsigned char>(part[i])) == 0) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SplitAtDots(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) {
            return parts;
        }
        start = dot + 1;
    }
}

Ipv4Text Refused(std::string reason) {
    Ipv4Text result;
    result.kind = Ipv4Text::Kind::kRefused;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

Ipv4Text ReadIpv4Text(const std::string& text) {
    const std::vector<std::string> parts = SplitAtDots(text);
    // A host name has a part that is no number; empty parts alone ("", "..") are no number
    // either, and are left to whoever checks names.
    bool anyNumber = false;
    for (const auto& part : parts) {
        if (!part.empty() && !IsDecimal(part) && !IsHexadecimal(part)) {
            return {};
        }
        anyNumber = anyNumber || !part.empty();
    }
    if (!anyNumber) {
        return {};
    }
    for (const auto& part : parts) {
        if (IsHexadecimal(part)) {
            return Refused("field \"" + part + "\" is hexadecimal");
        }
    }
    if (parts.size() != static_cast<std::size_t>(kFieldCount)) {
        return Refused(std::to_string(parts.size()) + (parts.size() == 1 ? " field" : " fields") +
                       ", not 4");
    }
    std::uint32_t address = 0;
    for (const auto& part : parts) {
        if (part.empty()) {
            return Refused("an empty field");
        }
        if (part.size() > kMaxFieldDigits) {
            return Refused("field \"" + part + "\" has more than 3 digits");
        }
        const int value = std::stoi(part);
        if (value > kMaxFieldValue) {
            return Refused("field " + part + " is above 255");
        }
        address = (address << 8) | static_cast<std::uint32_t>(value);
    }
    Ipv4Text result;
    result.kind = Ipv4Text::Kind::kAddress;
    result.address = address;
    return result;
}

std::string DottedDecimal(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace transfer
