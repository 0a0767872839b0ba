#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace ui {

// The font every dialog of the program is laid out in: 8-point "MS Sans Serif", or the
// platform's closest sans-serif face.
QFont DialogTemplateFont();

// A rectangle of a dialog template in dialog units.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Converts dialog-template units to pixels for one dialog font, the way dialog templates are
// laid out: a horizontal unit is a quarter of the font's average character width, a vertical
// unit an eighth of its height. The average width is that of "A".."Z" and "a".."z", rounded.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    // Pixels of `units`, rounded to the nearest pixel (halves away from zero).
    int ToPixelsX(int units) const;
    int ToPixelsY(int units) const;
    // Rectangle given as x, y, width, height in dialog units.
    QRect ToPixels(int x, int y, int width, int height) const;
    QSize ToPixels(int width, int height) const;
    QRect ToPixels(const DialogRect& rect) const;

  private:
    int baseWidth_ = 1;
    int baseHeight_ = 1;
};

}  // namespace ui
