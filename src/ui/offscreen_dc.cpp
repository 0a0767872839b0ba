#include "ui/offscreen_dc.h"

#include <QPaintDevice>
#include <QTransform>

namespace ui {

namespace {

qreal TargetPixelRatio(const QPainter& target) {
    const QPaintDevice* device = target.device();
    return device != nullptr ? device->devicePixelRatioF() : 1.0;
}

}  // namespace

OffscreenDC::OffscreenDC(QPainter& target, const QRect& clipBox)
    : target_(target), clipBox_(clipBox.normalized()) {
    if (clipBox_.isEmpty()) {
        return;
    }
    // Opaque format: the paint covers every pixel, and a block copy of an opaque image is a
    // plain copy rather than a blend.
    // The surface covers whole device pixels and starts on one of the target's: at a
    // fractional scale (150 %) the clip box's edges fall inside pixels, and a surface placed
    // there would be drawn on a grid of its own, so that two strips of one paint would not join.
    const qreal ratio = TargetPixelRatio(target_);
    const QRect devicePixels =
        QRectF(QPointF(clipBox_.topLeft()) * ratio, QSizeF(clipBox_.size()) * ratio)
            .toAlignedRect();
    // Drawn in device pixels by an exact scale and whole-pixel shift (a logical shift of a
    // third of a pixel would move edges that fall on half pixels); the ratio is set on copying.
    origin_ = QPointF(devicePixels.topLeft()) / ratio;
    surface_ = QImage(devicePixels.size(), QImage::Format_RGB32);
    painter_.begin(&surface_);
    painter_.setWorldTransform(
        QTransform(ratio, 0, 0, ratio, -devicePixels.left(), -devicePixels.top()));
}

OffscreenDC::~OffscreenDC() {
    Finish();
}

void OffscreenDC::Finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    if (!painter_.isActive()) {
        return;
    }
    painter_.end();
    surface_.setDevicePixelRatio(TargetPixelRatio(target_));
    target_.save();
    target_.setClipRect(clipBox_, Qt::IntersectClip);
    target_.setCompositionMode(QPainter::CompositionMode_Source);
    target_.drawImage(origin_, surface_);
    target_.restore();
}

}  // namespace ui
