#include "cli/output.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <streambuf>

#include <QJsonDocument>
#include <QString>

#include "packer/printable_name.h"

namespace cli {

class StandardOutput::Buffer : public std::streambuf {
  public:
    int Error() const { return error_; }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (error_ != 0) {
            return 0;
        }
        errno = 0;
        const std::size_t written = std::fwrite(text, 1, static_cast<std::size_t>(count), stdout);
        Check(written == static_cast<std::size_t>(count));
        return static_cast<std::streamsize>(written);
    }
    int sync() override {
        if (error_ != 0) {
            return -1;
        }
        errno = 0;
        return Check(std::fflush(stdout) == 0) ? 0 : -1;
    }

  private:
    // Keeps the reason of the first failure; false once anything failed.
    bool Check(bool ok) {
        if (!ok && error_ == 0) {
            error_ = errno != 0 ? errno : EIO;
        }
        return error_ == 0;
    }

    int error_ = 0;
};

StandardOutput::StandardOutput()
    : buffer_(std::make_unique<Buffer>()), previous_(std::cout.rdbuf(buffer_.get())) {}

StandardOutput::~StandardOutput() {
    std::cout.rdbuf(previous_);
}

int StandardOutput::Finish() {
    // The stream passes no flush on once it has failed; the buffer is asked directly.
    std::cout.flush();
    buffer_->pubsync();
    return buffer_->Error();
}

void JsonLines::Write(std::string_view event, QJsonObject object) {
    object.insert("event", QString::fromUtf8(event.data(), static_cast<qsizetype>(event.size())));
    if (first_) {
        object.insert("schema", kJsonSchemaVersion);
        first_ = false;
    }
    out_ << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

void PutName(QJsonObject& object, const std::string& name, const std::string& key) {
    object.insert(QString::fromStdString(key),
                  QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    if (!packer::IsValidUtf8(name)) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(name.size() * 2);
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            hex += kHex[byte >> 4];
            hex += kHex[byte & 0x0F];
        }
        object.insert(QString::fromStdString(key + "_hex"), QString::fromStdString(hex));
    }
}

}  // namespace cli
