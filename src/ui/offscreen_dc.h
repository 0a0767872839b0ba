#pragma once

#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QRect>

namespace ui {

// A drawing surface that stands in for a paint target during one paint, so that the target
// receives the finished picture in one block copy and never shows half-drawn states.
//
// It holds an image the size of `clipBox` (the bounding box of the area to repaint), with its
// origin moved so that drawing uses the target's coordinates. Finish() — or the destructor —
// copies the whole clip box to the target; drawing after that is not shown.
class OffscreenDC {
  public:
    // `target` must be active for the lifetime of this object. An empty clip box gives a
    // surface that draws nothing and copies nothing.
    explicit OffscreenDC(QPainter& target, const QRect& clipBox);
    ~OffscreenDC();
    OffscreenDC(const OffscreenDC&) = delete;
    OffscreenDC& operator=(const OffscreenDC&) = delete;

    // The painter to draw with, in the target's coordinates.
    QPainter& Painter() { return painter_; }
    // Ends drawing and copies the clip box to the target; later calls do nothing.
    void Finish();

  private:
    QPainter& target_;
    QRect clipBox_;
    QPointF origin_;  // where the surface starts: on a device pixel of the target
    QImage surface_;
    QPainter painter_;
    bool finished_ = false;
};

}  // namespace ui
