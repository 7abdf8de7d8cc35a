#include "ui/PreviewSource.h"

#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"

#include <QtConcurrent/QtConcurrentRun>

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace ostrela {

namespace {

// Aspect fill of the target, with libyuv's SIMD box/bilinear filter: a fraction of the cost of
// QImage's smooth scaling, so the worker barely competes with the feed for a core. `out` is
// reused when it has the right size and nobody else holds it.
QImage scaleForPreview(const QImage& frame, QSize target, QImage out) {
    const double k = std::max(target.width() / double(frame.width()), target.height() / double(frame.height()));
    const QSize size(std::max(1, int(std::lround(frame.width() * k))), std::max(1, int(std::lround(frame.height() * k))));
    if (out.size() != size || !out.isDetached()) out = QImage(size, QImage::Format_RGB32);
    if (out.isNull()) return QImage();
    if (libyuv::ARGBScale(frame.constBits(), int(frame.bytesPerLine()), frame.width(), frame.height(), out.bits(),
                          int(out.bytesPerLine()), size.width(), size.height(), libyuv::kFilterBox) != 0)
        return frame.scaled(target, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    // The published frame is opaque: shown as such, the window copies it instead of blending it.
    out.reinterpretAsFormat(QImage::Format_RGB32);
    return out;
}

}  // namespace

PreviewSource::PreviewSource(CameraEngine* engine, QObject* parent) : QObject(parent), engine_(engine) {
    if (engine_) connect(engine_, &CameraEngine::framePublished, this, [this] { offerFrame(); });
    connect(&watcher_, &QFutureWatcher<QImage>::finished, this, &PreviewSource::scaled);
}

PreviewSource::~PreviewSource() { watcher_.waitForFinished(); }

void PreviewSource::setTargetSize(QSize size) { target_ = size; }

void PreviewSource::setActive(bool active) {
    active_ = active;
    if (!active_ && newer_) {
        newer_ = false;
        ++skipped_;
    }
}

void PreviewSource::clear() {
    image_ = QImage();
    spare_ = QImage();
    emit imageChanged();
}

bool PreviewSource::offerFrame() {
    if (!active_ || target_.isEmpty()) return false;
    if (pending_) {
        // Not queued: the worker takes the newest frame there is once it is free, so a frame
        // already waiting is passed over.
        if (newer_) ++skipped_;
        newer_ = true;
        return false;
    }
    if (minIntervalMs_ > 0 && sinceLast_.isValid() && sinceLast_.elapsed() < minIntervalMs_) {
        ++skipped_;
        return false;
    }
    return take();
}

bool PreviewSource::take() {
    if (!memory_) memory_ = openFrameBuffer(false);
    if (!memory_ || !refreshFrameBuffer(memory_)) return false;
    // The copy is the only work on this thread: a few hundred microseconds for 3.6 MB, into the
    // same buffer every time (the worker is done with it: nothing is in flight).
    if (copy_.size() != QSize(kFrameWidth, kFrameHeight) || !copy_.isDetached())
        copy_ = QImage(kFrameWidth, kFrameHeight, QImage::Format_ARGB32_Premultiplied);
    if (copy_.isNull()) return false;
    std::memcpy(copy_.bits(), memory_, kFrameBytes);
    pending_ = true;
    newer_ = false;
    sinceLast_.start();
    ++taken_;
    // The picture shown before the current one is written again, when nothing else holds it.
    QImage out = std::exchange(spare_, QImage());
    watcher_.setFuture(QtConcurrent::run(
        [frame = copy_, target = target_, scaler = scaler_, out = std::move(out)]() mutable {
            return scaler ? scaler(frame, target) : scaleForPreview(frame, target, std::move(out));
        }));
    return true;
}

void PreviewSource::scaled() {
    pending_ = false;
    QImage result = watcher_.result();
    if (!result.isNull() && active_) {
        spare_ = std::exchange(image_, std::move(result));
        emit imageChanged();
    }
    // Frames published while this one was scaled: the newest of them, once.
    if (newer_) {
        newer_ = false;
        if (!take()) ++skipped_;
    }
}

}  // namespace ostrela
