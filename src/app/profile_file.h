#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace app {

// Reader and writer for settings files of the INI kind, behaving as the private-profile
// functions of the original platform do on the files users bring along.
//
// File form, as read:
//   - A file starting with the UTF-16LE byte-order mark FF FE ("Unicode" in Notepad) is text in
//     UTF-16LE: it is read as its UTF-8 form and written back in UTF-16LE with the mark. Any
//     other file is bytes: on Windows in the ANSI code page, whose values are converted from
//     and to the program's internal text (platform/system_text.h); elsewhere taken as they are.
//   - A UTF-8 byte-order mark at the very start is skipped. Lines end in CRLF, LF or a lone CR
//     (mixed in one file too); the last line may lack its end.
//   - A line whose first non-blank character is ';' is a comment; a blank line means nothing.
//   - A line whose first non-blank character is '[' opens a section; the name is what lies
//     between '[' and the first ']' (the line end when there is none), blanks around it ignored.
//   - Any other line is a key line: key before the first '=', value after it, blanks (space,
//     tab) around both ignored. ';' and '#' inside a value belong to the value. A line without
//     '=' names a key that has no value: it reads as missing (the default).
//   - Section and key names match without regard to ASCII case. Only the first section of a
//     given name is searched, and in it only the first line of the key (with or without '=').
//   - A value enclosed in a matching pair of double or single quotes is returned without them;
//     an unmatched quote is kept. An empty value is an empty string (not the default).
//   - A read returns at most kProfileValueMax characters; a quoted value is cut with its quotes
//     before they come off, so the opening quote takes one of them.

// Longest value or default a read returns; longer ones are cut (the platform's buffer holds 256
// characters with the terminator).
inline constexpr std::size_t kProfileValueMax = 255;

// Largest settings file read; a larger one is treated as unusable.
inline constexpr std::size_t kProfileFileMaxBytes = 1024 * 1024;

// The value of `key` in the first section named `section` of the INI `text`, or nothing when
// the section or key is missing. Not cut to kProfileValueMax.
std::optional<std::string> LookUpProfileValue(std::string_view text, std::string_view section,
                                              std::string_view key);

// LookUpProfileValue as a read returns it: cut to kProfileValueMax characters (a quoted value
// to one less, see above).
std::optional<std::string> ReadProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// Whether `value` (internal text), once written (SetProfileValue) in its stored form, is read
// back whole rather than cut.
bool FitsProfileRead(std::string_view value);

// A settings file's text, or why there is none.
struct ProfileFileText {
    std::optional<std::string> text;  // the whole file; nothing when missing or unusable
    bool missing = false;             // nothing exists by that name
    bool utf16 = false;               // a UTF-16LE file: `text` is its UTF-8 form, mark removed
    // Why an existing file cannot be used, naming it: it is not a regular file, cannot be
    // opened or read, is larger than kProfileFileMaxBytes (platform::ReadRegularFile's
    // messages) or holds binary data ("PATH: holds binary data (NUL bytes)"). Empty when the
    // text was read or the file is missing.
    std::string problem;
};

// Reads a settings file without ever blocking: a FIFO, a device or a folder is not opened for
// reading. An unusable file reads as a missing one; callers may report `problem`.
ProfileFileText ReadProfileFile(const std::string& filePath);

// Like GetPrivateProfileString: the value of `key` in `section` of the file (ReadProfileValue) as
// internal text (InternalValueOf),
// or `defaultValue` without its trailing blanks, cut to kProfileValueMax, when the file (missing
// or unusable, see ReadProfileFile), section or key is missing.
std::string ReadProfileString(std::string_view section, std::string_view key,
                              std::string_view defaultValue, const std::string& filePath);

// A value read from `file`'s text as internal text (platform/system_text.h).
std::string InternalValueOf(const ProfileFileText& file, std::string value);

// Why `section`, `key` and `value` cannot be written without breaking the file's form, or
// nothing when they can: names must be non-empty after trimming; no name or value may hold CR,
// LF or NUL (a new line would inject settings); a key may not hold '=' nor start with '[' or
// ';'; a section name may not hold ']'.
std::optional<std::string> CheckProfileWrite(std::string_view section, std::string_view key,
                                             std::string_view value);

// The INI `text` with `key` of `section` set to `value`, written as given unless reading it
// back would change it: a value with blanks at either end, or enclosed in a matching pair of
// quotes, is written inside one more pair of double quotes. Every other byte stays as it was:
//   - an existing key line keeps its key spelling and the blanks up to the value; only the old
//     value (to the line end) is replaced; a key line without '=' gets "=value" after its name;
//     a last line without its end gets one;
//   - a missing key is added as "key=value" after the last key line of the first section of
//     that name (or right after its header when it has no key lines);
//   - a missing section is added at the end, as "[section]" and the key line.
// A line added after another ends as that one does; otherwise new line ends are the text's own
// style (that of its first line end; CRLF when it has none). Requires that CheckProfileWrite
// accepts the arguments.
std::string SetProfileValue(std::string_view text, std::string_view section, std::string_view key,
                            std::string_view value);

struct ProfileWriteResult {
    bool ok = false;
    std::string error;  // why the write failed; empty when ok
};

// Longest wait for another writer of the same settings file (see WriteProfileString).
inline constexpr std::chrono::milliseconds kProfileLockWait{5000};

// Like WritePrivateProfileString: sets the one key in the file (see SetProfileValue), creating
// the file when it is missing (in bytes). The arguments are internal text; a file of bytes
// takes them in the stored form and fails for one that has none. The file is replaced as a whole
// through a temporary file in the same folder, so a failure leaves the old file unchanged and a
// reader sees the old or the new file whole. Writers in any process take turns
// (platform::FileWriteLock on "FILE.lock"): each reads the file under the lock and changes only
// its own key, so concurrent writes of different keys all last. Fails on arguments that
// CheckProfileWrite refuses, on a lock still held after kProfileLockWait or a lock file that
// cannot be used, on a file that exists but cannot be used (ReadProfileFile: a folder, FIFO or
// device is never replaced) and on any write failure.
ProfileWriteResult WriteProfileString(std::string_view section, std::string_view key,
                                      std::string_view value, const std::string& filePath);

// The number at the start of `text`, as the C library's atoi reads it: leading white space is
// skipped, an optional sign and the decimal digits after it are read, reading stops at the first
// other character, no digits give 0. Out-of-range numbers are clamped to the int32 range (as
// the original platform's atoi does) instead of being undefined.
std::int32_t ParseProfileInt(std::string_view text);

}  // namespace app
