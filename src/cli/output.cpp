#include "cli/output.h"

#include <QJsonDocument>
#include <QString>

#include "packer/printable_name.h"

namespace cli {

namespace {

Verbosity verbosity = Verbosity::kNormal;

}  // namespace

Verbosity CurrentVerbosity() {
    return verbosity;
}

void SetVerbosity(Verbosity value) {
    verbosity = value;
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
