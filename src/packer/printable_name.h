#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace packer {

// A name from an image or a folder as it may be printed on a terminal or shown in a message:
// every control character (below 0x20, and 0x7F) and every byte that is not part of well-formed
// UTF-8 is written as a C escape ("\n", "\r", "\t", "\\x1b", "\\xe9", ...), and the C1 controls
// (U+0080 to U+009F) and the bidirectional controls (U+061C, U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069) as "\\u202e", so that a crafted name can neither forge a line, nor send a
// terminal escape sequence, nor show itself as another name. Every other character is kept as
// it is, backslashes (the Windows path separator) included.
std::string PrintableName(std::string_view name);

// PrintableName(name) followed by spaces up to `width` columns, a column per character (code
// point), so that names with characters of several bytes line up with plain ones.
std::string PaddedName(std::string_view name, std::size_t width);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace packer
