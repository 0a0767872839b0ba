#include "ui/ip_address_edit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStringList>
#include <algorithm>
#include <vector>

#include "transfer/ipv4_text.h"

namespace ui {

namespace {

constexpr char kSeparator = '.';

// Value of a field's text; blank reads 0.
int FieldValue(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : 0;
}

// Leading decimal digits of `part` (at most three) clamped to 255, or -1 when none.
int ParsePart(const std::string& part) {
    int value = 0;
    int digits = 0;
    for (char c : part) {
        if (c < '0' || c > '9' || digits == IpAddressEdit::kMaxFieldDigits) {
            break;
        }
        value = value * 10 + (c - '0');
        ++digits;
    }
    if (digits == 0) {
        return -1;
    }
    return std::min(value, IpAddressEdit::kMaxFieldValue);
}

// Splits at every dot; "a.b" gives two parts, "" one empty part.
std::vector<std::string> SplitAtDots(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find(kSeparator, start);
        if (dot == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
}

}  // namespace

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);

    const auto* digitsOnly =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this);
    for (int index = 0; index < kFieldCount; ++index) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("ipField%1").arg(index));
        edit->setFrame(false);
        edit->setAlignment(Qt::AlignCenter);
        edit->setMaxLength(kMaxFieldDigits);
        edit->setValidator(digitsOnly);
        // One tab stop for the whole control: only the first field is reached by Tab.
        edit->setFocusPolicy(index == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        edit->installEventFilter(this);
        connect(edit, &QLineEdit::textEdited, this, [this, index] { OnFieldEdited(index); });
        fields_[static_cast<std::size_t>(index)] = edit;
        layout->addWidget(edit, 1);
        if (index + 1 < kFieldCount) {
            auto* dot = new QLabel(QString(QChar(kSeparator)), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot, 0);
        }
    }
    setFocusProxy(fields_[0]);
}

std::string IpAddressEdit::text() const {
    std::string address;
    for (int index = 0; index < kFieldCount; ++index) {
        if (index > 0) {
            address += kSeparator;
        }
        address += std::to_string(FieldValue(field(index)->text()));
    }
    return address;
}

bool IpAddressEdit::setText(const std::string& address) {
    const std::vector<std::string> parts = SplitAtDots(address);
    for (int index = 0; index < kFieldCount; ++index) {
        const std::size_t slot = static_cast<std::size_t>(index);
        const std::string part = slot < parts.size() ? parts[slot] : std::string();
        const int value = ParsePart(part);
        field(index)->setText(value < 0 ? QString() : QString::number(value));
    }
    return transfer::ReadIpv4Text(address).kind == transfer::Ipv4Text::Kind::kAddress;
}

void IpAddressEdit::clear() {
    for (QLineEdit* edit : fields_) {
        edit->clear();
    }
}

int IpAddressEdit::IndexOf(const QObject* object) const {
    for (int index = 0; index < kFieldCount; ++index) {
        if (fields_[static_cast<std::size_t>(index)] == object) {
            return index;
        }
    }
    return -1;
}

void IpAddressEdit::OnFieldEdited(int index) {
    QLineEdit* edit = field(index);
    const QString text = edit->text();
    if (text.isEmpty()) {
        return;
    }
    if (FieldValue(text) > kMaxFieldValue) {
        edit->setText(QString::number(kMaxFieldValue));
    }
    if (text.size() == kMaxFieldDigits && edit->cursorPosition() == kMaxFieldDigits &&
        index + 1 < kFieldCount) {
        FocusField(index + 1, true, false);
        advancedInto_ = index + 1;
    }
}

void IpAddressEdit::FocusField(int index, bool selectAll, bool cursorAtEnd) {
    QLineEdit* edit = field(index);
    edit->setFocus(Qt::OtherFocusReason);
    if (selectAll) {
        edit->selectAll();
    } else {
        edit->setCursorPosition(cursorAtEnd ? static_cast<int>(edit->text().size()) : 0);
    }
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    const int index = IndexOf(watched);
    if (index < 0 || event->type() != QEvent::KeyPress) {
        return QFrame::eventFilter(watched, event);
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    QLineEdit* edit = field(index);
    const bool atStart = edit->cursorPosition() == 0 && !edit->hasSelectedText();
    const bool atEnd = edit->cursorPosition() == edit->text().size() && !edit->hasSelectedText();

    // The dot a user types after three digits moved on by themselves belongs to the field just
    // left, so it must not move on a second time.
    const bool justAdvanced = advancedInto_ == index;
    advancedInto_ = -1;
    if (key->text() == QString(QChar(kSeparator))) {
        if (justAdvanced) {
            return true;
        }
        // A dot ends a field that holds a number; in a blank field it is ignored.
        if (!edit->text().isEmpty() && index + 1 < kFieldCount) {
            FocusField(index + 1, true, false);
        }
        return true;
    }
    switch (key->key()) {
        case Qt::Key_Backspace:
        case Qt::Key_Left:
            if (atStart && index > 0) {
                FocusField(index - 1, false, true);
                return true;
            }
            break;
        case Qt::Key_Right:
            if (atEnd && index + 1 < kFieldCount) {
                FocusField(index + 1, false, false);
                return true;
            }
            break;
        default:
            break;
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace ui
