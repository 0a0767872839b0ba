#include "app/profile_file.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <system_error>
#include <vector>

#include "platform/file_replace.h"

namespace app {

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kNewFileLineEnd = "\r\n";

// One line of the text: [begin, contentEnd) is its content, [contentEnd, end) its line end.
struct Line {
    std::size_t begin = 0;
    std::size_t contentEnd = 0;
    std::size_t end = 0;
};

enum class LineKind { kOther, kComment, kSection, kKey };

// What a line means; `name` is the section or key name, `valueBegin` (key lines) the offset in
// the content where the value starts, after the '=' and its blanks.
struct LineMeaning {
    LineKind kind = LineKind::kOther;
    std::string_view name;
    std::size_t valueBegin = 0;
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

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t position = BodyStart(text);
    while (position < text.size()) {
        Line line;
        line.begin = position;
        const auto feed = text.find('\n', position);
        if (feed == std::string_view::npos) {
            line.contentEnd = line.end = text.size();
        } else {
            line.end = feed + 1;
            line.contentEnd = (feed > position && text[feed - 1] == '\r') ? feed - 1 : feed;
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
        const auto close = content.find(']', first);
        if (close != std::string_view::npos) {
            meaning.kind = LineKind::kSection;
            meaning.name = Trim(content.substr(first + 1, close - first - 1));
            return meaning;
        }
    }
    const auto equals = content.find('=');
    if (equals != std::string_view::npos) {
        meaning.kind = LineKind::kKey;
        meaning.name = Trim(content.substr(0, equals));
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

std::string_view LineEndStyle(std::string_view text) {
    const auto feed = text.find('\n');
    if (feed == std::string_view::npos) {
        return kNewFileLineEnd;
    }
    return (feed > 0 && text[feed - 1] == '\r') ? std::string_view("\r\n") : std::string_view("\n");
}

// The whole file; nothing when it cannot be read. `missing` tells a missing file apart.
std::optional<std::string> ReadFileBytes(const std::string& filePath, bool& missing) {
    std::error_code error;
    missing = !std::filesystem::exists(filePath, error) && !error;
    std::ifstream in(filePath, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

bool HoldsAnyOf(std::string_view text, std::string_view characters) {
    return text.find_first_of(characters) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> LookUpProfileValue(std::string_view text, std::string_view section,
                                              std::string_view key) {
    const auto wantedSection = Trim(section);
    const auto wantedKey = Trim(key);
    bool inSection = false;
    for (const auto& line : SplitLines(text)) {
        const auto content = Content(text, line);
        const auto meaning = Classify(content);
        if (meaning.kind == LineKind::kSection) {
            if (inSection) {
                return std::nullopt;  // only the first section of the name counts
            }
            inSection = NamesMatch(meaning.name, wantedSection);
        } else if (inSection && meaning.kind == LineKind::kKey &&
                   NamesMatch(meaning.name, wantedKey)) {
            return std::string(StripMatchingQuotes(Trim(content.substr(meaning.valueBegin))));
        }
    }
    return std::nullopt;
}

std::string ReadProfileString(std::string_view section, std::string_view key,
                              std::string_view defaultValue, const std::string& filePath) {
    bool missing = false;
    const auto text = ReadFileBytes(filePath, missing);
    if (!text) {
        return CutToValueMax(defaultValue);
    }
    const auto value = LookUpProfileValue(*text, section, key);
    return CutToValueMax(value ? std::string_view(*value) : defaultValue);
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
            if (NamesMatch(meaning.name, wantedKey)) {
                const auto valueBegin = lines[i].begin + meaning.valueBegin;
                return std::string(text.substr(0, valueBegin)) + valueText +
                       std::string(text.substr(lines[i].contentEnd));
            }
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
        result += lineEnd;
        result += text.substr(after.end);
        return result;
    }
    result = std::string(text);
    if (text.size() > BodyStart(text) && !text.ends_with('\n')) {
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
    bool missing = false;
    auto text = ReadFileBytes(filePath, missing);
    if (!text) {
        if (!missing) {
            return {false, "cannot read " + filePath};
        }
        text.emplace();
    }
    std::string error;
    if (!platform::ReplaceFileContents(filePath, SetProfileValue(*text, section, key, value),
                                       &error)) {
        return {false, error};
    }
    return {true, {}};
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
