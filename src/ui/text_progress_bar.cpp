#include "ui/text_progress_bar.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "ui/offscreen_dc.h"

namespace ui {

namespace {

constexpr int kBorderWidth = 1;
// Added to the drawn fraction: part of both the bar width and the shown number.
constexpr double kPaintFractionHair = 0.00001;
constexpr double kPercent = 100.0;
// Centred horizontally and vertically on one line.
constexpr int kTextFlags = Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine;

// Truncates toward zero. Positions are not clamped to the range and a range may be empty, so
// the quotient can be huge, infinite or NaN: those saturate (NaN reads 0) instead of being
// converted with undefined results.
int TruncateToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double kMax = static_cast<double>(std::numeric_limits<int>::max());
    constexpr double kMin = static_cast<double>(std::numeric_limits<int>::min());
    if (value >= kMax) {
        return std::numeric_limits<int>::max();
    }
    if (value <= kMin) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(value);
}

}  // namespace

TextProgressBar::TextProgressBar(QWidget* parent) : QProgressBar(parent) {
    // Colours are taken once; later palette changes do not reach the bar.
    const QPalette colours = palette();
    barColour = colours.color(QPalette::Highlight);
    backgroundColour = colours.color(QPalette::Base);
    textColourOnBackground = colours.color(QPalette::Highlight);
    textColourOnBar = colours.color(QPalette::Base);

    // The paint covers every pixel: no separate erase before it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAutoFillBackground(false);
    setContentsMargins(kBorderWidth, kBorderWidth, kBorderWidth, kBorderWidth);
}

void TextProgressBar::SetRange(std::int32_t lower, std::int32_t upper) {
    rangeLower = lower;
    rangeUpper = upper;
}

std::int32_t TextProgressBar::SetPos(std::int32_t value) {
    if (!HasWindow()) {
        return -1;
    }
    const std::int32_t previous = position;
    positionF = static_cast<float>(value);
    position = value;
    RedrawIfWidthChanged((static_cast<double>(position) - rangeLower) /
                         (static_cast<double>(rangeUpper) - rangeLower));
    return previous;
}

float TextProgressBar::SetPos(float value) {
    if (!HasWindow()) {
        return -1.0f;
    }
    const float previous = positionF;
    positionF = value;
    RedrawIfWidthChanged((static_cast<double>(positionF) - lowerF) /
                         (static_cast<double>(upperF) - lowerF));
    return previous;
}

void TextProgressBar::RedrawIfWidthChanged(double fraction) {
    const int width = ClientRect().width();
    const std::int32_t barWidth = TruncateToInt(fraction * width);
    if (barWidth == lastBarWidth) {
        return;
    }
    lastBarWidth = barWidth;
    repaint();
}

double TextProgressBar::PaintFraction() const {
    return (static_cast<double>(positionF) - lowerF) / (static_cast<double>(upperF) - lowerF) +
           kPaintFractionHair;
}

std::string TextProgressBar::DisplayText() const {
    char text[64] = {};
    std::snprintf(text, sizeof text, "%.2f%%", PaintFraction() * kPercent);
    return text;
}

void TextProgressBar::paintEvent(QPaintEvent* event) {
    // An empty integer range draws nothing; the event is still taken, so no repaint loop.
    if (rangeLower >= rangeUpper) {
        event->accept();
        return;
    }
    const QRect area = ClientRect();
    const double fraction = PaintFraction();

    QPainter screen(this);
    OffscreenDC offscreen(screen, event->rect());
    QPainter& painter = offscreen.Painter();

    // The border sits outside the client area, in the frame colour of the style: the whole
    // rectangle filled, the client area then painted over it. A one-pixel outline would, at
    // 150 % display scale, leave device pixels at the right and bottom edges unpainted.
    painter.fillRect(rect(), palette().color(QPalette::Mid));

    // Bar B and rest E split the client area; beyond the range B stops at the client's edges.
    const int barWidth = std::clamp(TruncateToInt(area.width() * fraction), 0, area.width());
    const QRect bar(area.left(), area.top(), barWidth, area.height());
    const QRect rest(area.left() + barWidth, area.top(), area.width() - barWidth, area.height());
    painter.fillRect(bar, barColour);
    painter.fillRect(rest, backgroundColour);

    const QString text = QString::fromStdString(DisplayText());
    painter.setBackgroundMode(Qt::TransparentMode);
    // No font is chosen: the surface's default font draws the text.
    painter.setClipRect(bar);
    painter.setPen(textColourOnBar);
    painter.drawText(area, kTextFlags, text);
    painter.setClipRect(rest);
    painter.setPen(textColourOnBackground);
    painter.drawText(area, kTextFlags, text);
    painter.setClipping(false);
    offscreen.Finish();
}

void TextProgressBar::resizeEvent(QResizeEvent* event) {
    QProgressBar::resizeEvent(event);
    lastBarWidth = -1;
}

}  // namespace ui
