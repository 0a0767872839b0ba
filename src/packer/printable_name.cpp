#include "packer/printable_name.h"

#include <cstdint>

namespace packer {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence at text[i] (1 for an ASCII byte) and its code
// point; 0 when the bytes there are not well-formed UTF-8 (overlong forms, surrogates and values
// past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, std::size_t i, std::uint32_t& value) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        value = lead;
        return 1;
    }
    std::size_t length = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Code points that are shown escaped although they are well-formed: the C1 controls (a terminal
// may act on them as on ESC) and the bidirectional controls, which reorder the text around them
// so that a name could show as another.
bool IsHiddenCodePoint(std::uint32_t value) {
    return (value >= 0x80 && value <= 0x9F) || value == 0x061C || value == 0x200E ||
           value == 0x200F || (value >= 0x202A && value <= 0x202E) ||
           (value >= 0x2066 && value <= 0x2069);
}

void AppendByteEscape(std::string& out, unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

}  // namespace

std::string PrintableName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    std::size_t i = 0;
    while (i < name.size()) {
        const char c = name[i];
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\n':
                out += "\\n";
                ++i;
                continue;
            case '\r':
                out += "\\r";
                ++i;
                continue;
            case '\t':
                out += "\\t";
                ++i;
                continue;
            default:
                break;
        }
        std::uint32_t value = 0;
        const std::size_t length = DecodeUtf8(name, i, value);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            AppendByteEscape(out, byte);
            ++i;
        } else if (IsHiddenCodePoint(value)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out += kHex[(value >> shift) & 0x0F];
            }
            i += length;
        } else {
            out.append(name.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::string PaddedName(std::string_view name, std::size_t width) {
    std::string out = PrintableName(name);
    std::size_t columns = 0;
    for (const char c : out) {
        columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    if (columns < width) {
        out.append(width - columns, ' ');
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = DecodeUtf8(text, i, value);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace packer
