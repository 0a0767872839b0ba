#include "ui/dialog_units.h"

#include <algorithm>

#include <QFont>
#include <QFontMetrics>
#include <QString>

namespace ui {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr int kHorizontalDivisor = 4;
constexpr int kVerticalDivisor = 8;

// value * numerator / denominator rounded half away from zero, without overflow for the
// small values of a dialog.
int MulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    const long long rounded =
        product >= 0 ? (product + half) / denominator : (product - half) / denominator;
    return static_cast<int>(rounded);
}

constexpr char kDialogFontFamily[] = "MS Sans Serif";
constexpr int kDialogFontPoints = 8;

}  // namespace

QFont DialogTemplateFont() {
    QFont font(QString::fromLatin1(kDialogFontFamily), kDialogFontPoints);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // Width of all 52 letters over 26, plus one, halved: the average rounded to the nearest.
    const int alphabetWidth = metrics.horizontalAdvance(QString::fromLatin1(kAlphabet));
    baseWidth_ = std::max(1, (alphabetWidth / 26 + 1) / 2);
    baseHeight_ = std::max(1, metrics.height());
}

int DialogUnits::ToPixelsX(int units) const {
    return MulDiv(units, baseWidth_, kHorizontalDivisor);
}

int DialogUnits::ToPixelsY(int units) const {
    return MulDiv(units, baseHeight_, kVerticalDivisor);
}

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    return QRect(ToPixelsX(x), ToPixelsY(y), ToPixelsX(width), ToPixelsY(height));
}

QRect DialogUnits::ToPixels(const DialogRect& rect) const {
    return ToPixels(rect.x, rect.y, rect.width, rect.height);
}

QSize DialogUnits::ToPixels(int width, int height) const {
    return QSize(ToPixelsX(width), ToPixelsY(height));
}

}  // namespace ui
