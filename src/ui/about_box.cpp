#include "ui/about_box.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "ui/app_icon.h"
#include "ui/dialog_units.h"

namespace ui {

namespace {

// Layout in dialog units.
constexpr DialogRect kBoxSize{0, 0, 235, 55};
constexpr DialogRect kIconRect{11, 17, 20, 20};
constexpr DialogRect kVersionRect{40, 10, 119, 8};
constexpr DialogRect kSecondLineRect{40, 25, 119, 8};
constexpr DialogRect kOkRect{178, 7, 50, 14};
constexpr int kIconPixels = 32;

// Static text shown as it is: an ampersand is a character, not a mnemonic, and no markup.
QLabel* NewStaticText(QWidget* parent, const char* objectName, const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(DialogTemplateFont());
    const DialogUnits units(font());

    // The icon control takes the icon's own size, whatever its rectangle says.
    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    // Drawn for the display scale of the screen the box opens on, from the icon's largest picture.
    icon->setPixmap(AppIcon().pixmap(QSize(kIconPixels, kIconPixels), devicePixelRatioF()));
    icon->setGeometry(QRect(units.ToPixels(kIconRect).topLeft(), QSize(kIconPixels, kIconPixels)));

    NewStaticText(this, "aboutVersionText", kVersionText)
        ->setGeometry(units.ToPixels(kVersionRect));
    NewStaticText(this, "aboutSecondLine", kSecondLine)
        ->setGeometry(units.ToPixels(kSecondLineRect));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("aboutOkButton"));
    ok->setDefault(true);
    ok->setGeometry(units.ToPixels(kOkRect));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(units.ToPixels(kBoxSize.width, kBoxSize.height));
    ok->setFocus();
}

}  // namespace ui
