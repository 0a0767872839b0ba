#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include <QJsonObject>

namespace cli {

// While alive, std::cout writes through the C library's stdout (as it does by default, so that
// the order with other writers of stdout is kept) and keeps the system's reason for the first
// write that failed, which the stream itself forgets: it only knows that it failed. After a
// failure nothing more is written.
class StandardOutput {
  public:
    StandardOutput();
    ~StandardOutput();  // gives std::cout its own buffer back
    StandardOutput(const StandardOutput&) = delete;
    StandardOutput& operator=(const StandardOutput&) = delete;

    // Flushes what was written; then the errno of the first write that failed, or 0.
    int Finish();

  private:
    class Buffer;
    std::unique_ptr<Buffer> buffer_;
    std::streambuf* previous_ = nullptr;
};

// Version of the JSON Lines schema that every --json output follows.
inline constexpr int kJsonSchemaVersion = 1;

// Writes --json output as JSON Lines: one compact object per line, keys in snake_case, an
// "event" key naming the kind of object, and "schema": kJsonSchemaVersion in the first object a
// writer prints. Each command uses one writer for its whole output.
class JsonLines {
  public:
    explicit JsonLines(std::ostream& out) : out_(out) {}

    // Prints `object` as one line (flushed), with "event": event first in meaning, not order.
    void Write(std::string_view event, QJsonObject object);

  private:
    std::ostream& out_;
    bool first_ = true;
};

// Puts an image or file name into `object` losslessly: "name" holds the text (bytes that are not
// valid UTF-8 appear as U+FFFD), and, only when the name is not valid UTF-8, "name_hex" holds
// every byte as two lower-case hex digits. `key` replaces "name" (and "name_hex" becomes
// key + "_hex").
void PutName(QJsonObject& object, const std::string& name, const std::string& key = "name");

}  // namespace cli
