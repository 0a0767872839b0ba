#include <QImage>
#include <QPainter>
#include <QTest>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "ui/offscreen_dc.h"
#include "ui/text_progress_bar.h"

namespace {

using ui::TextProgressBar;

constexpr int kClientWidth = 300;
constexpr int kClientHeight = 20;
// The bar keeps a one-pixel border around its client area.
constexpr int kBorder = 1;
const QColor kUnpainted(255, 0, 255);

// Counts its paints, to see the redraw decision at work.
class CountingBar : public TextProgressBar {
  public:
    int paints = 0;

  protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        TextProgressBar::paintEvent(event);
    }
};

void SizeClient(TextProgressBar& bar, int width = kClientWidth) {
    bar.resize(width + 2 * kBorder, kClientHeight + 2 * kBorder);
}

// Renders the bar onto a magenta image, so pixels the paint left alone stay magenta.
QImage Render(TextProgressBar& bar) {
    QImage image(bar.size(), QImage::Format_RGB32);
    image.fill(kUnpainted);
    bar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);  // no background fill
    return image;
}

// Pixels of `colour` along the first client row, where the centred text never reaches.
int CountOnTopRow(const QImage& image, const QColor& colour) {
    int count = 0;
    for (int x = kBorder; x < kBorder + kClientWidth; ++x) {
        if (image.pixelColor(x, kBorder) == colour) {
            ++count;
        }
    }
    return count;
}

// Pixels in columns [from, to) of the client area that differ from `colour`.
int CountOtherThan(const QImage& image, const QColor& colour, int from, int to) {
    int count = 0;
    for (int x = from; x < to; ++x) {
        for (int y = kBorder; y < kBorder + kClientHeight; ++y) {
            if (image.pixelColor(x, y) != colour) {
                ++count;
            }
        }
    }
    return count;
}

TEST(TextProgressBarTest, RefusesPositionsUntilAttached) {
    TextProgressBar bar;
    EXPECT_FALSE(bar.HasWindow());
    EXPECT_EQ(bar.SetPos(std::int32_t{40}), -1);
    EXPECT_EQ(bar.SetPos(40.0f), -1.0f);
    EXPECT_EQ(bar.Position(), 0);
    EXPECT_EQ(bar.PositionF(), 0.0f);
    EXPECT_EQ(bar.LastBarWidth(), -1);
}

TEST(TextProgressBarTest, IntegerSetPosMovesBothPositionsAndFloatSetPosOnlyTheFloat) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    EXPECT_EQ(bar.SetPos(std::int32_t{30}), 0);
    EXPECT_EQ(bar.PositionF(), 30.0f);
    EXPECT_EQ(bar.SetPos(std::int32_t{45}), 30);

    EXPECT_EQ(bar.SetPos(12.5f), 45.0f);
    EXPECT_EQ(bar.Position(), 45) << "the float form must leave the integer position";
    EXPECT_EQ(bar.SetPos(70.25f), 12.5f);
}

TEST(TextProgressBarTest, SetRangeChangesOnlyTheIntegerRange) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.SetRange(0, 200);
    EXPECT_EQ(bar.RangeUpper(), 200);
    // The float range stays 0..100, so 50 still reads as half.
    bar.SetPos(50.0f);
    EXPECT_EQ(bar.DisplayText(), "50.00%");
    // The integer form measures its width against 0..200.
    bar.SetPos(std::int32_t{50});
    EXPECT_EQ(bar.LastBarWidth(), 75);
}

struct TextCase {
    float position;
    const char* text;
};

class PercentTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(PercentTextTest, ShowsTwoDecimalPercentWithTheAddedHair) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.SetPos(GetParam().position);
    EXPECT_EQ(bar.DisplayText(), GetParam().text);
}

// 1.005f is stored just below 1.005: only the added 0.00001 makes it read 1.01%.
INSTANTIATE_TEST_SUITE_P(Positions, PercentTextTest,
                         testing::Values(TextCase{0.0f, "0.00%"}, TextCase{50.0f, "50.00%"},
                                         TextCase{100.0f, "100.00%"}, TextCase{1.005f, "1.01%"},
                                         TextCase{14.2857f, "14.29%"}));

struct WidthCase {
    float position;
    int paintedPixels;
};

class BarWidthTest : public testing::TestWithParam<WidthCase> {};

TEST_P(BarWidthTest, PaintsBarOfTheFractionOfTheClientWidth) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.SetPos(GetParam().position);
    const QImage image = Render(bar);
    EXPECT_EQ(CountOnTopRow(image, bar.BarColour()), GetParam().paintedPixels);
    EXPECT_EQ(CountOnTopRow(image, bar.BarColour()) + CountOnTopRow(image, bar.BackgroundColour()),
              kClientWidth)
        << "bar and rest together must cover the client row";
}

// Positions are not clamped to the range: beyond it the bar stops at the client's edges.
INSTANTIATE_TEST_SUITE_P(Positions, BarWidthTest,
                         testing::Values(WidthCase{0.0f, 0}, WidthCase{50.0f, 150},
                                         WidthCase{100.0f, 300}, WidthCase{33.333f, 100},
                                         WidthCase{150.0f, 300}, WidthCase{-20.0f, 0},
                                         WidthCase{std::numeric_limits<float>::infinity(), 300},
                                         WidthCase{std::numeric_limits<float>::quiet_NaN(), 0}));

TEST(TextProgressBarTest, RedrawDecisionOmitsTheHairThatThePaintAdds) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.SetPos(33.333f);
    EXPECT_EQ(bar.LastBarWidth(), 99);
    EXPECT_EQ(CountOnTopRow(Render(bar), bar.BarColour()), 100);
}

TEST(TextProgressBarTest, TextTakesTheOtherSidesColourOnEachSideOfTheBarEdge) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.SetPos(50.0f);  // "50.00%" is centred on the bar's edge
    const QImage image = Render(bar);
    const int edge = kBorder + kClientWidth / 2;
    const int textHalfWidth = 40;

    // Over the bar the text is in the rest's colour, so it shows against the bar...
    EXPECT_GT(CountOtherThan(image, bar.BarColour(), edge - textHalfWidth, edge), 0);
    // ...and over the rest in the bar's colour.
    EXPECT_GT(CountOtherThan(image, bar.BackgroundColour(), edge, edge + textHalfWidth), 0);
    // Nothing but the two colours (and their blends at glyph edges) is drawn near the edge.
    int pureTextOnBar = 0;
    for (int y = kBorder; y < kBorder + kClientHeight; ++y) {
        for (int x = edge - textHalfWidth; x < edge; ++x) {
            pureTextOnBar += image.pixelColor(x, y) == bar.BackgroundColour() ? 1 : 0;
        }
    }
    EXPECT_GT(pureTextOnBar, 0) << "text over the bar must use the rest's colour";
}

TEST(TextProgressBarTest, EmptyIntegerRangeDrawsNothing) {
    TextProgressBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.SetRange(5, 5);
    bar.SetPos(std::int32_t{5});  // 0 / 0: must not be taken as a width
    bar.SetPos(60.0f);
    const QImage image = Render(bar);
    EXPECT_EQ(CountOnTopRow(image, kUnpainted), kClientWidth);
}

TEST(TextProgressBarTest, SameBarWidthCausesNoRedrawButAResizeForcesOne) {
    CountingBar bar;
    SizeClient(bar);
    bar.Attach();
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    QApplication::processEvents();

    bar.paints = 0;
    bar.SetPos(50.0f);
    EXPECT_EQ(bar.paints, 1) << "a new pixel width repaints at once";
    bar.SetPos(50.2f);  // 150.6 pixels: still 150
    EXPECT_EQ(bar.paints, 1);
    bar.SetPos(50.4f);  // 151.2 pixels
    EXPECT_EQ(bar.paints, 2);

    SizeClient(bar, kClientWidth);  // same size: no resize event, no forced redraw
    bar.SetPos(50.4f);
    EXPECT_EQ(bar.paints, 2);

    SizeClient(bar, 200);
    QApplication::processEvents();
    EXPECT_EQ(bar.LastBarWidth(), -1);
    bar.paints = 0;
    bar.SetPos(50.4f);
    EXPECT_EQ(bar.paints, 1) << "the first position after a resize always redraws";
    EXPECT_EQ(bar.LastBarWidth(), 100);
}

TEST(OffscreenDcTest, CopiesOnlyTheClipBoxAndOnlyWhenFinished) {
    QImage target(40, 40, QImage::Format_RGB32);
    target.fill(Qt::white);
    QPainter painter(&target);
    {
        ui::OffscreenDC offscreen(painter, QRect(10, 10, 20, 20));
        // Drawn in the target's coordinates, over more than the clip box.
        offscreen.Painter().fillRect(QRect(0, 0, 40, 40), Qt::blue);
        EXPECT_EQ(target.pixelColor(15, 15), QColor(Qt::white)) << "nothing before the copy";
        offscreen.Finish();
        EXPECT_EQ(target.pixelColor(10, 10), QColor(Qt::blue));
        EXPECT_EQ(target.pixelColor(29, 29), QColor(Qt::blue));
        EXPECT_EQ(target.pixelColor(9, 9), QColor(Qt::white));
        EXPECT_EQ(target.pixelColor(30, 30), QColor(Qt::white));
    }
    painter.end();
    EXPECT_EQ(target.pixelColor(15, 15), QColor(Qt::blue)) << "a second finish copies nothing";
}

// The progress bar repaints in strips (expose events, partial updates); at 150 % display scale
// a strip's edge falls inside a device pixel. The strips must join without seams, and every
// device pixel of the widget must be painted.
TEST(OffscreenDcTest, StripsJoinWithoutSeamsAtFractionalDisplayScale) {
    const auto paint = [](QImage& target, const QRect& strip) {
        QPainter painter(&target);
        ui::OffscreenDC offscreen(painter, strip);
        offscreen.Painter().fillRect(QRect(0, 0, 20, 20), Qt::black);
        offscreen.Painter().fillRect(QRect(1, 1, 18, 18), Qt::blue);
    };
    for (const qreal ratio : {1.5, 2.0}) {
        QImage strips(40, 40, QImage::Format_RGB32);
        strips.fill(Qt::white);
        strips.setDevicePixelRatio(ratio);
        QImage whole = strips.copy();
        paint(strips, QRect(0, 0, 7, 20));
        paint(strips, QRect(7, 0, 13, 20));
        paint(whole, QRect(0, 0, 20, 20));
        for (int y = 0; y < 40; ++y) {
            for (int x = 0; x < 40; ++x) {
                ASSERT_EQ(strips.pixelColor(x, y), whole.pixelColor(x, y)) << ratio << " at " << x;
            }
        }
    }
}

}  // namespace
