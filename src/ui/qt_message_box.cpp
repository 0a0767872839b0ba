#include "ui/qt_message_box.h"

#include <QMessageBox>

#include "platform/system_ui.h"

namespace ui {

namespace {

constexpr unsigned kIconMask = 0xF0;
constexpr unsigned kIconQuestion = 0x20;
constexpr unsigned kIconAsterisk = 0x40;

QMessageBox::Icon IconOfStyle(unsigned style) {
    switch (style & kIconMask) {
        case platform::kMbIconHand:
            return QMessageBox::Critical;
        case kIconQuestion:
            return QMessageBox::Question;
        case platform::kMbIconExclamation:
            return QMessageBox::Warning;
        case kIconAsterisk:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

void QtMessageBox::MessageBox(const std::string& text, const std::string& caption, unsigned style) {
    if (useSystemBoxes_ && platform::HasSystemMessageBox()) {
        platform::ShowSystemMessageBox(
            text, caption, style,
            owner_ ? static_cast<platform::NativeWindow>(owner_->window()->winId()) : 0);
        return;
    }
    QMessageBox box(IconOfStyle(style), QString::fromStdString(caption),
                    QString::fromStdString(text), QMessageBox::Ok, owner_.data());
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

}  // namespace ui
