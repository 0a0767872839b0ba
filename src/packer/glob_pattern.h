#pragma once

#include <string_view>

namespace packer {

// True when `name` (an image name such as "/img/logo.gif") matches the glob `pattern` as a
// whole. Pattern syntax, byte by byte:
//   *        any run of bytes, "/" included (so "*.map" matches "/js/app.map")
//   ?        any one byte
//   [abc]    one byte of the set; ranges "[a-z]"; "[!...]" or "[^...]" negates; a "]" right
//            after the opening "[" (or "[!") is taken literally; a "[" without its "]" is literal
//   \x       the byte x itself
// Letter case counts. Runs in O(pattern x name) time whatever the pattern.
bool GlobMatch(std::string_view pattern, std::string_view name);

}  // namespace packer
