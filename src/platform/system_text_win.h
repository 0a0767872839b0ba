#pragma once

#include <string>
#include <string_view>

namespace platform {

// The Windows side of system_text.h: internal text (UTF-8) to and from the system's wide text.
std::wstring WideText(std::string_view text);
std::string InternalText(std::wstring_view wide);

// `path` as the wide file functions take it. A path whose full form reaches MAX_PATH (260
// characters, 248 for folders) is made absolute and given the "\\?\" prefix that lifts the limit
// (the prefix also turns off the system's tidying of "/" and "..", hence the full path first),
// so that every file a folder walk finds can be opened by the path it was found under.
std::wstring SystemPath(const std::string& path);

// The system's text for an error number (GetLastError), in internal text, without the closing
// full stop and line end; "error N" for a number the system has no text for.
std::string SystemErrorText(unsigned long code);

}  // namespace platform
