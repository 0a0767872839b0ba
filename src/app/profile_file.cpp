#include "app/profile_file.h"

#include <cstdint>
#include <filesystem>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/file_lock.h"
#include "platform/file_read.h"
#include "platform/file_replace.h"
#include "platform/system_text.h"

namespace app {

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeByteOrderMark = "\xFF\xFE";
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kNewFileLineEnd = "\r\n";

// One line of the text: [begin, contentEnd) is its content, [contentEnd, end) its line end.
struct Line {
    std::size_t begin = 0;
    std::size_t contentEnd = 0;
    std::size_t end = 0;
};

enum class LineKind { kOther, kComment, kSection, kKey };

// What a line means; `name` is the section or key name. For key lines, `hasValue` tells
// whether the line holds an '=', `valueBegin` is the offset in the content where the value
// starts (after the '=' and its blanks) and `nameEnd` where the key name ends.
struct LineMeaning {
    LineKind kind = LineKind::kOther;
    std::string_view name;
    bool hasValue = false;
    std::size_t valueBegin = 0;
    std::size_t nameEnd = 0;
};

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool NamesMatch(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::size_t BodyStart(std::string_view text) {
    return text.starts_with(kUtf8ByteOrderMark) ? kUtf8ByteOrderMark.size() : 0;
}

// Lines end in CRLF, LF or a lone CR.
std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t position = BodyStart(text);
    while (position < text.size()) {
        Line line;
        line.begin = position;
        const auto end = text.find_first_of("\r\n", position);
        if (end == std::string_view::npos) {
            line.contentEnd = line.end = text.size();
        } else {
            line.contentEnd = end;
            const bool crLf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
            line.end = end + (crLf ? 2 : 1);
        }
        lines.push_back(line);
        position = line.end;
    }
    return lines;
}

std::string_view Content(std::string_view text, const Line& line) {
    return text.substr(line.begin, line.contentEnd - line.begin);
}

LineMeaning Classify(std::string_view content) {
    LineMeaning meaning;
    const auto first = content.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return meaning;
    }
    if (content[first] == ';') {
        meaning.kind = LineKind::kComment;
        return meaning;
    }
    if (content[first] == '[') {
        // Without its ']' the header names the section all the same, up to the line end.
        const auto close = content.find(']', first);
        const auto nameEnd = close == std::string_view::npos ? content.size() : close;
        meaning.kind = LineKind::kSection;
        meaning.name = Trim(content.substr(first + 1, nameEnd - first - 1));
        return meaning;
    }
    // Any other line is a key line; one without '=' names a key that has no value.
    meaning.kind = LineKind::kKey;
    const auto equals = content.find('=');
    meaning.hasValue = equals != std::string_view::npos;
    meaning.name = Trim(content.substr(0, meaning.hasValue ? equals : content.size()));
    meaning.nameEnd = meaning.name.data() + meaning.name.size() - content.data();
    if (meaning.hasValue) {
        const auto valueFirst = content.find_first_not_of(kBlanks, equals + 1);
        meaning.valueBegin = valueFirst == std::string_view::npos ? content.size() : valueFirst;
    }
    return meaning;
}

std::string_view StripMatchingQuotes(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// The value as it must stand in the file to be read back unchanged: the reader trims blanks
// and drops one pair of enclosing quotes, so a value that would lose either is enclosed in one
// more pair of double quotes.
std::string ValueAsWritten(std::string_view value) {
    if (Trim(value).size() == value.size() && StripMatchingQuotes(value).size() == value.size()) {
        return std::string(value);
    }
    return "\"" + std::string(value) + "\"";
}

std::string CutToValueMax(std::string_view text) {
    return std::string(text.substr(0, kProfileValueMax));
}

// The line end of `text` at `position`: CRLF, LF, a lone CR, or nothing.
std::string_view LineEndAt(std::string_view text, std::size_t position) {
    if (position >= text.size()) {
        return {};
    }
    if (text[position] == '\r') {
        return text.substr(position, text.substr(position).starts_with("\r\n") ? 2 : 1);
    }
    return text[position] == '\n' ? text.substr(position, 1) : std::string_view();
}

// The end of the text's first line; CRLF when it has none.
std::string_view LineEndStyle(std::string_view text) {
    const auto end = text.find_first_of("\r\n", BodyStart(text));
    return end == std::string_view::npos ? kNewFileLineEnd : LineEndAt(text, end);
}

// The end a line added after `line` gets: the same as that line's own (so that a lone CR is
// never followed by a LF that would join the two), else the text's style.
std::string_view LineEndAfter(std::string_view text, const Line& line) {
    return line.end > line.contentEnd ? text.substr(line.contentEnd, line.end - line.contentEnd)
                                      : LineEndStyle(text);
}

// The line of `key` in the first section `section`, with its meaning; nothing when missing.
std::optional<std::pair<Line, LineMeaning>> FindKeyLine(std::string_view text,
                                                        std::string_view section,
                                                        std::string_view key) {
    const auto wantedSection = Trim(section);
    const auto wantedKey = Trim(key);
    bool inSection = false;
    for (const auto& line : SplitLines(text)) {
        const auto meaning = Classify(Content(text, line));
        if (meaning.kind == LineKind::kSection) {
            if (inSection) {
                return std::nullopt;  // only the first section of the name counts
            }
            inSection = NamesMatch(meaning.name, wantedSection);
        } else if (inSection && meaning.kind == LineKind::kKey &&
                   NamesMatch(meaning.name, wantedKey)) {
            return std::pair(line, meaning);
        }
    }
    return std::nullopt;
}

// The value of a key line, blanks around it taken off; quotes kept.
std::string_view RawValue(std::string_view text, const Line& line, const LineMeaning& meaning) {
    return Trim(Content(text, line).substr(meaning.valueBegin));
}

bool HoldsAnyOf(std::string_view text, std::string_view characters) {
    return text.find_first_of(characters) != std::string_view::npos;
}

void AppendUtf8(std::string& text, std::uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16LE (after its byte-order mark) as UTF-8. A surrogate without its pair is kept as the
// three bytes its code would have, so that writing the text back gives the same units; nothing
// when the byte count is odd.
std::optional<std::string> Utf8OfUtf16Le(std::string_view bytes) {
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string text;
    text.reserve(bytes.size());
    const auto unitAt = [&bytes](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at]) |
                                          (static_cast<unsigned char>(bytes[at + 1]) << 8));
    };
    for (std::size_t at = 0; at < bytes.size(); at += 2) {
        std::uint32_t code = unitAt(at);
        if (code >= 0xD800 && code < 0xDC00 && at + 2 < bytes.size()) {
            const std::uint32_t low = unitAt(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        AppendUtf8(text, code);
    }
    return text;
}

void AppendUtf16Le(std::string& bytes, std::uint32_t unit) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
}

// The reverse of Utf8OfUtf16Le, byte-order mark first. A byte that starts no valid sequence
// (only a value written in this run can hold one) stands for the character of the same code.
std::string Utf16LeOfUtf8(std::string_view text) {
    std::string bytes(kUtf16LeByteOrderMark);
    bytes.reserve(2 * text.size() + 2);
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        std::uint32_t code = lead & (length == 1 ? 0x7F : 0x3F >> (length - 1));
        bool valid = lead < 0x80 || (lead >= 0xC2 && lead < 0xF5 && at + length <= text.size());
        for (std::size_t i = 1; valid && i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            code = lead;
            at += 1;
        } else {
            at += length;
        }
        if (code >= 0x10000) {
            AppendUtf16Le(bytes, 0xD800 + ((code - 0x10000) >> 10));
            AppendUtf16Le(bytes, 0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            AppendUtf16Le(bytes, code);
        }
    }
    return bytes;
}

}  // namespace

std::optional<std::string> LookUpProfileValue(std::string_view text, std::string_view section,
                                              std::string_view key) {
    const auto found = FindKeyLine(text, section, key);
    if (!found || !found->second.hasValue) {
        return std::nullopt;
    }
    return std::string(StripMatchingQuotes(RawValue(text, found->first, found->second)));
}

std::optional<std::string> ReadProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
    const auto found = FindKeyLine(text, section, key);
    if (!found || !found->second.hasValue) {
        return std::nullopt;
    }
    const auto raw = RawValue(text, found->first, found->second);
    const auto unquoted = StripMatchingQuotes(raw);
    if (unquoted.size() == raw.size()) {
        return CutToValueMax(raw);
    }
    // Cut with its quotes, then the quotes come off: the opening one took a character.
    return std::string(unquoted.substr(0, kProfileValueMax - 1));
}

bool FitsProfileRead(std::string_view internalValue) {
    const auto stored = platform::StoredTextOf(internalValue);
    const std::string_view value = stored ? std::string_view(*stored) : internalValue;
    return value.size() <=
           (ValueAsWritten(value).size() == value.size() ? kProfileValueMax : kProfileValueMax - 1);
}

ProfileFileText ReadProfileFile(const std::string& filePath) {
    ProfileFileText result;
    std::error_code error;
    if (!std::filesystem::exists(platform::FileSystemPath(filePath), error) && !error) {
        result.missing = true;  // nothing there, or a link leading nowhere
        return result;
    }
    const auto bytes = platform::ReadRegularFile(filePath, kProfileFileMaxBytes);
    if (!bytes) {
        result.problem = bytes.error().text;
        return result;
    }
    std::string text(bytes->begin(), bytes->end());
    if (text.starts_with(kUtf16LeByteOrderMark)) {
        auto decoded = Utf8OfUtf16Le(std::string_view(text).substr(kUtf16LeByteOrderMark.size()));
        if (!decoded) {
            result.problem = filePath + ": holds UTF-16 text of an odd byte count";
            return result;
        }
        text = std::move(*decoded);
        result.utf16 = true;
    }
    if (text.find('\0') != std::string::npos) {
        result.problem = filePath + ": holds binary data (NUL bytes)";
    } else {
        result.text = std::move(text);
    }
    return result;
}

std::string ReadProfileString(std::string_view section, std::string_view key,
                              std::string_view defaultValue, const std::string& filePath) {
    const auto file = ReadProfileFile(filePath);
    if (file.text) {
        if (auto value = ReadProfileValue(*file.text, section, key)) {
            return InternalValueOf(file, std::move(*value));
        }
    }
    // The platform drops trailing blanks of the default before it is cut.
    const auto last = defaultValue.find_last_not_of(kBlanks);
    return CutToValueMax(defaultValue.substr(0, last == std::string_view::npos ? 0 : last + 1));
}

std::optional<std::string> CheckProfileWrite(std::string_view section, std::string_view key,
                                             std::string_view value) {
    constexpr std::string_view kLineBreaking("\r\n\0", 3);
    const auto trimmedSection = Trim(section);
    const auto trimmedKey = Trim(key);
    if (trimmedSection.empty()) {
        return "the section name is empty";
    }
    if (HoldsAnyOf(section, kLineBreaking) || HoldsAnyOf(section, "]")) {
        return "the section name holds a line break, NUL or ']'";
    }
    if (trimmedKey.empty()) {
        return "the key is empty";
    }
    if (HoldsAnyOf(key, kLineBreaking) || HoldsAnyOf(key, "=") || trimmedKey.front() == '[' ||
        trimmedKey.front() == ';') {
        return "the key holds a line break, NUL or '=', or starts with '[' or ';'";
    }
    if (HoldsAnyOf(value, kLineBreaking)) {
        return "the value holds a line break or NUL";
    }
    return std::nullopt;
}

std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value) {
    const auto wantedSection = Trim(section);
    const auto wantedKey = Trim(key);
    const auto lineEnd = LineEndStyle(text);
    const std::string valueText = ValueAsWritten(value);
    const std::string keyLine = std::string(wantedKey) + "=" + valueText;

    if (const auto found = FindKeyLine(text, section, key)) {
        const auto& [line, meaning] = *found;
        // A key line without '=' gets one after its name; a last line gets its line end.
        const auto valueBegin =
            line.begin + (meaning.hasValue ? meaning.valueBegin : meaning.nameEnd);
        std::string result = std::string(text.substr(0, valueBegin));
        result += meaning.hasValue ? valueText : "=" + valueText;
        result += text.substr(line.contentEnd);
        if (line.end == line.contentEnd) {
            result += lineEnd;
        }
        return result;
    }

    const auto lines = SplitLines(text);
    std::optional<std::size_t> header;  // index of the section's header line
    std::optional<std::size_t> lastKey;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto content = Content(text, lines[i]);
        const auto meaning = Classify(content);
        if (meaning.kind == LineKind::kSection) {
            if (header) {
                break;
            }
            if (NamesMatch(meaning.name, wantedSection)) {
                header = i;
            }
        } else if (header && meaning.kind == LineKind::kKey) {
            lastKey = i;
        }
    }

    std::string result;
    if (header) {
        const Line& after = lines[lastKey.value_or(*header)];
        result = std::string(text.substr(0, after.end));
        if (after.contentEnd == after.end) {
            result += lineEnd;  // the line was the last one and had no end
        }
        result += keyLine;
        result += LineEndAfter(text, after);
        result += text.substr(after.end);
        return result;
    }
    result = std::string(text);
    if (text.size() > BodyStart(text) && !text.ends_with('\n') && !text.ends_with('\r')) {
        result += lineEnd;
    }
    result += "[" + std::string(wantedSection) + "]";
    result += lineEnd;
    result += keyLine;
    result += lineEnd;
    return result;
}

ProfileWriteResult WriteProfileString(std::string_view section, std::string_view key,
                                      std::string_view value, const std::string& filePath) {
    if (const auto refusal = CheckProfileWrite(section, key, value)) {
        return {false, *refusal};
    }
    platform::FileWriteLock lock;
    if (const platform::Error locked = lock.Acquire(filePath, kProfileLockWait)) {
        return {false, locked.text};
    }
    auto file = ReadProfileFile(filePath);
    if (!file.text) {
        if (!file.missing) {
            return {false, file.problem};
        }
        file.text.emplace();
    }
    std::string contents;
    if (file.utf16) {
        contents = Utf16LeOfUtf8(SetProfileValue(*file.text, section, key, value));
    } else {
        const auto storedSection = platform::StoredTextOf(section);
        const auto storedKey = platform::StoredTextOf(key);
        const auto storedValue = platform::StoredTextOf(value);
        if (!storedSection || !storedKey || !storedValue) {
            return {false, "a character has no form in the ANSI code page the file is written in"};
        }
        contents = SetProfileValue(*file.text, *storedSection, *storedKey, *storedValue);
    }
    if (const platform::Error error = platform::ReplaceFileContents(filePath, contents)) {
        return {false, error.text};
    }
    return {true, {}};
}

std::string InternalValueOf(const ProfileFileText& file, std::string value) {
    return file.utf16 ? value : platform::InternalTextOf(value);
}

std::int32_t ParseProfileInt(std::string_view text) {
    constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();

    std::size_t position = text.find_first_not_of(kWhiteSpace);
    if (position == std::string_view::npos) {
        return 0;
    }
    bool negative = false;
    if (text[position] == '+' || text[position] == '-') {
        negative = text[position] == '-';
        ++position;
    }
    std::int64_t magnitude = 0;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        // Stop growing once past the range; the clamp below decides the result.
        if (magnitude <= kMax + 1) {
            magnitude = magnitude * 10 + (text[position] - '0');
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > kMax) {
        return static_cast<std::int32_t>(kMax);
    }
    if (value < kMin) {
        return static_cast<std::int32_t>(kMin);
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace app
