#include "packer/glob_pattern.h"

#include <cstddef>

namespace packer {
namespace {

// Matches one byte against the bracket expression starting at pattern[at] == '['. Sets `next`
// to the index after the closing ']'. Returns false with next == at when there is no closing
// ']' (the '[' is then an ordinary byte).
bool MatchSet(std::string_view pattern, std::size_t at, unsigned char byte, std::size_t& next) {
    std::size_t i = at + 1;
    bool negate = false;
    if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) {
        negate = true;
        ++i;
    }
    bool matched = false;
    bool first = true;
    while (i < pattern.size() && (first || pattern[i] != ']')) {
        first = false;
        unsigned char low = static_cast<unsigned char>(pattern[i]);
        if (low == '\\' && i + 1 < pattern.size()) {
            low = static_cast<unsigned char>(pattern[++i]);
        }
        unsigned char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = static_cast<unsigned char>(pattern[i + 2]);
            i += 2;
        }
        if (low <= byte && byte <= high) {
            matched = true;
        }
        ++i;
    }
    if (i >= pattern.size()) {
        next = at;
        return false;
    }
    next = i + 1;
    return matched != negate;
}

// Matches the single-byte pattern element at pattern[p] against `byte`; sets `next` to the
// index after the element. Never called for '*'.
bool MatchOne(std::string_view pattern, std::size_t p, unsigned char byte, std::size_t& next) {
    const char c = pattern[p];
    if (c == '?') {
        next = p + 1;
        return true;
    }
    if (c == '[') {
        const bool matched = MatchSet(pattern, p, byte, next);
        if (next != p) {
            return matched;
        }
        next = p + 1;
        return byte == '[';
    }
    if (c == '\\' && p + 1 < pattern.size()) {
        next = p + 2;
        return byte == static_cast<unsigned char>(pattern[p + 1]);
    }
    next = p + 1;
    return byte == static_cast<unsigned char>(c);
}

// True when the element at pattern[p] is a "[" that has no closing "]".
bool IsUnclosedSet(std::string_view pattern, std::size_t p) {
    if (pattern[p] != '[') {
        return false;
    }
    std::size_t next = p;
    MatchSet(pattern, p, 0, next);
    return next == p;
}

}  // namespace

std::string GlobPatternProblem(std::string_view pattern) {
    if (pattern.empty()) {
        return "an empty pattern matches no name";
    }
    bool unclosed = false;
    std::size_t last = 0;
    for (std::size_t p = 0; p < pattern.size();) {
        last = p;
        if (pattern[p] == '*') {
            ++p;
            continue;
        }
        unclosed = unclosed || IsUnclosedSet(pattern, p);
        std::size_t next = p;
        const bool slash = MatchOne(pattern, p, '/', next);
        if (p == 0 && !slash) {
            return std::string("it can never match: every image name begins with \"/\"") +
                   (unclosed ? " (a \"[\" without its \"]\" stands for itself)" : "");
        }
        p = next;
    }
    const std::string_view tail = pattern.substr(last);
    if (tail == "/" || tail == "\\/") {
        return "it can never match: no image name ends with \"/\" (a folder's files are "
               "\"FOLDER/*\")";
    }
    if (unclosed) {
        return "a \"[\" without its \"]\" stands for itself";
    }
    return {};
}

bool GlobMatch(std::string_view pattern, std::string_view name) {
    // Classic single-star backtracking: on a mismatch, retry from the last '*' with one more
    // byte of the name taken by it. Later stars make earlier choices final, so this is linear
    // in the number of (pattern, name) positions.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starPattern = std::string_view::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = ++p;
            starName = n;
            continue;
        }
        std::size_t next = p;
        if (p < pattern.size() && MatchOne(pattern, p, static_cast<unsigned char>(name[n]), next)) {
            p = next;
            ++n;
            continue;
        }
        if (starPattern == std::string_view::npos) {
            return false;
        }
        p = starPattern;
        n = ++starName;
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace packer
