// Fuzz target for the settings reader and writer.
//
// Input: section, key and value as FuzzedDataProvider strings ("\\" escapes a backslash, "\"
// followed by any other character ends a string), the rest is the INI text. Example seed:
//   DEFAULT\;web_path\;/srv/web\;[DEFAULT]\r\nmax_rom=512\r\n
//
// Checked, for every write the writer accepts:
//   - reading the key back gives exactly the value written;
//   - every other line of the text (lines end in CRLF, LF or a lone CR) is kept byte for byte
//     (a last line without its end may gain one), and only the key's own line changes or one
//     key line (plus a section header) is added;
//   - a read gives the value whole exactly when FitsProfileRead says so, else its start;
//   - writing the same value again changes nothing.
// And for any text: looking up never fails, and ParseProfileInt agrees with strtoll clamped to
// 32 bits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "app/profile_file.h"

namespace {

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "profile_file_fuzz: %s\n", what);
    std::abort();
}

void Require(bool condition, const char* what) {
    if (!condition) {
        Fault(what);
    }
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The text's lines after an optional byte-order mark, each with its end: CRLF, LF or a lone CR
// (the last one may lack it).
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t position = text.starts_with(kBom) ? kBom.size() : 0;
    while (position < text.size()) {
        const auto stop = text.find_first_of("\r\n", position);
        std::size_t end = text.size();
        if (stop != std::string_view::npos) {
            end = text.substr(stop).starts_with("\r\n") ? stop + 2 : stop + 1;
        }
        lines.push_back(text.substr(position, end - position));
        position = end;
    }
    return lines;
}

bool HasLineEnd(std::string_view line) {
    return line.ends_with('\n') || line.ends_with('\r');
}

// A line is kept when its bytes are unchanged; a last line without its end may gain one.
bool SameLine(std::string_view before, std::string_view after) {
    return HasLineEnd(before) ? before == after : after.starts_with(before);
}

// Old and new text differ only by the written line: one changed line, or one or two added
// lines (the key line, and the section header when the section was missing).
void RequireOtherLinesKept(std::string_view before, std::string_view after) {
    const std::size_t bom = before.starts_with(kBom) ? kBom.size() : 0;
    Require(after.substr(0, bom) == before.substr(0, bom), "the byte-order mark changed");
    const auto old = Lines(before);
    const auto now = Lines(after);
    Require(now.size() >= old.size() && now.size() <= old.size() + 2,
            "the write removed lines or added more than two");
    const std::size_t added = now.size() - old.size();
    std::size_t first = 0;
    while (first < old.size() && SameLine(old[first], now[first])) {
        ++first;
    }
    // With nothing added, the first differing line is the rewritten key line; skip over it.
    const std::size_t resume = added == 0 ? first + 1 : first;
    for (std::size_t i = resume; i < old.size(); ++i) {
        Require(SameLine(old[i], now[i + added]), "a line other than the written one changed");
    }
}

// strtoll's reading, clamped to 32 bits: what atoi gives on the original platform.
std::int32_t ReferenceInt(std::string_view text) {
    const std::string terminated(text.substr(0, text.find('\0')));
    const long long value = std::strtoll(terminated.c_str(), nullptr, 10);
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string section = provider.ConsumeRandomLengthString(64);
    const std::string key = provider.ConsumeRandomLengthString(64);
    const std::string value = provider.ConsumeRandomLengthString(512);
    const std::string text = provider.ConsumeRemainingBytesAsString();

    Require(app::ParseProfileInt(value) == ReferenceInt(value),
            "ParseProfileInt differs from atoi");
    (void)app::LookUpProfileValue(text, section, key);

    if (app::CheckProfileWrite(section, key, value)) {
        return 0;  // refused: nothing to write
    }
    const std::string written = app::SetProfileValue(text, section, key, value);
    const auto readBack = app::LookUpProfileValue(written, section, key);
    Require(readBack.has_value(), "the written key cannot be found");
    Require(*readBack == value, "the value read back differs from the value written");
    RequireOtherLinesKept(text, written);
    Require(app::SetProfileValue(written, section, key, value) == written,
            "writing the same value again changed the text");
    // A read gives the value whole when it fits, else cut to what the platform's buffer holds.
    const auto read = app::ReadProfileValue(written, section, key);
    Require(read.has_value() && value.starts_with(*read), "a read is not the value's start");
    Require((*read == value) == app::FitsProfileRead(value), "FitsProfileRead is wrong");
    return 0;
}
