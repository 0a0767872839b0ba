#pragma once

#include <string>
#include <string_view>

namespace packer {

// A name from an image or a folder as it may be printed on a terminal or shown in a message:
// every control character (below 0x20, and 0x7F) is written as a C escape ("\n", "\r", "\t",
// "\\x1b", ...), so that a crafted name can neither forge a line nor send a terminal escape
// sequence. Every other byte is kept: backslashes (the Windows path separator) and bytes from 0x80
// up (UTF-8 and other code pages).
std::string PrintableName(std::string_view name);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace packer
