#pragma once

#include <string>

namespace platform {

// Message-box styles used by the program.
inline constexpr unsigned kMbOk = 0;         // plain OK button
inline constexpr unsigned kMbIconHand = 16;  // stop icon and OK button
inline constexpr unsigned kMbIconExclamation = 48;

// Every message the user must see goes through one of these, so the desktop program shows a
// modal box, the command-line tool prints the text and tests record it.
class MessageBoxSink {
  public:
    virtual ~MessageBoxSink() = default;
    // Shows `text` with `caption` in the given style and returns when the user has closed it.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            unsigned style) = 0;
};

}  // namespace platform
