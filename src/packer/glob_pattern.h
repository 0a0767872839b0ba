#pragma once

#include <string>
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

// Empty when `pattern` may match some image name; otherwise why it never can: it is empty, its
// first element cannot match the leading "/" of every name, or its last element is a plain "/"
// (no name ends with one). A "[" without its "]" is pointed out too, since it then stands for
// itself, which is rarely what was meant.
std::string GlobPatternProblem(std::string_view pattern);

}  // namespace packer
