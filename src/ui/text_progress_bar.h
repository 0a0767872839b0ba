#pragma once

#include <QColor>
#include <QProgressBar>
#include <cstdint>
#include <string>

namespace ui {

// Progress bar that draws itself completely: a solid bar for the part done, a solid rest, and
// a centred text — the percentage with two decimals — drawn twice
// through complementary clips so it reads in the rest's colour over the bar and in the bar's
// colour over the rest. Every paint goes through an OffscreenDC and nothing erases the
// background separately, so the control does not flicker.
//
// The position is a float. A position change repaints at once, and only when the bar's width
// in whole pixels changes; callers that need the text refreshed anyway call update().
//
// "Has a window": the control counts as created only once Attach() has been called (the
// dialog does so when it binds its controls). Before that both SetPos forms refuse.
//
// The widget keeps a one-pixel border; the client area inside it is what the bar, the rest and
// the text fill, and its width is the W of the redraw decision.
class TextProgressBar : public QProgressBar {
    Q_OBJECT

  public:
    explicit TextProgressBar(QWidget* parent = nullptr);

    // Marks the control as created; SetPos works from now on.
    void Attach() { attached_ = true; }
    bool HasWindow() const { return attached_; }

    // Sets the integer range only; the float range stays, nothing is redrawn.
    void SetRange(std::int32_t lower, std::int32_t upper);
    // Returns the previous integer position, or -1 (changing nothing) before Attach().
    // Sets both positions, then runs the redraw decision on the integer range.
    std::int32_t SetPos(std::int32_t value);
    // Returns the previous float position, or -1.0 (changing nothing) before Attach().
    // Sets the float position only, then runs the redraw decision on the float range.
    float SetPos(float value);

    std::int32_t Position() const { return position; }
    std::int32_t RangeLower() const { return rangeLower; }
    std::int32_t RangeUpper() const { return rangeUpper; }
    float PositionF() const { return positionF; }
    std::int32_t LastBarWidth() const { return lastBarWidth; }
    QColor BarColour() const { return barColour; }
    QColor BackgroundColour() const { return backgroundColour; }

    // The area inside the border.
    QRect ClientRect() const { return contentsRect(); }
    // The text the paint shows for the current state ("12.34%").
    std::string DisplayText() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Bar width of `fraction` of the client width, without the paint's extra hair; repaints at
    // once when it differs from the last one computed.
    void RedrawIfWidthChanged(double fraction);
    // The drawn fraction: float position over float range plus a hair, so a value stored just
    // below a rounding boundary (1.005f) reads as its decimal self.
    double PaintFraction() const;

    std::int32_t position = 0;
    std::int32_t rangeUpper = 100;
    std::int32_t rangeLower = 0;
    float positionF = 0.0f;
    float upperF = 100.0f;
    float lowerF = 0.0f;
    std::int32_t lastBarWidth = -1;  // -1 forces the next redraw
    QColor barColour;
    QColor backgroundColour;
    QColor textColourOnBackground;
    QColor textColourOnBar;

    bool attached_ = false;
};

}  // namespace ui
