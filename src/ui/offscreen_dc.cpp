#include "ui/offscreen_dc.h"

#include <QPaintDevice>

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
    const qreal ratio = TargetPixelRatio(target_);
    surface_ = QImage(clipBox_.size() * ratio, QImage::Format_RGB32);
    surface_.setDevicePixelRatio(ratio);
    painter_.begin(&surface_);
    painter_.translate(-clipBox_.topLeft());
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
    const QPainter::CompositionMode previousMode = target_.compositionMode();
    target_.setCompositionMode(QPainter::CompositionMode_Source);
    target_.drawImage(clipBox_.topLeft(), surface_);
    target_.setCompositionMode(previousMode);
}

}  // namespace ui
