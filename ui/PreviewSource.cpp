#include "ui/PreviewSource.h"

#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"

#include <QtConcurrent/QtConcurrentRun>

#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>

#include <cstring>

namespace ostrela {

PreviewSource::PreviewSource(CameraEngine* engine, QObject* parent) : QObject(parent), engine_(engine) {
    if (engine_) connect(engine_, &CameraEngine::framePublished, this, [this] { offerFrame(); });
    connect(&watcher_, &QFutureWatcher<QImage>::finished, this, [this] {
        pending_ = false;
        QImage scaled = watcher_.result();
        if (scaled.isNull()) return;
        image_ = std::move(scaled);
        emit imageChanged();
    });
}

PreviewSource::~PreviewSource() { watcher_.waitForFinished(); }

void PreviewSource::setTargetSize(QSize size) { target_ = size; }

void PreviewSource::setActive(bool active) { active_ = active; }

void PreviewSource::clear() {
    image_ = QImage();
    emit imageChanged();
}

bool PreviewSource::offerFrame() {
    if (!active_ || target_.isEmpty()) return false;
    if (pending_ || (sinceLast_.isValid() && sinceLast_.elapsed() < minIntervalMs_)) {
        ++skipped_;
        return false;
    }
    if (!memory_) memory_ = openFrameBuffer(false);
    if (!memory_ || !refreshFrameBuffer(memory_)) return false;
    // The copy is the only work on this thread: a few hundred microseconds for 3.6 MB.
    QImage frame(kFrameWidth, kFrameHeight, QImage::Format_ARGB32_Premultiplied);
    if (frame.isNull()) return false;
    std::memcpy(frame.bits(), memory_, kFrameBytes);
    pending_ = true;
    sinceLast_.start();
    ++taken_;
    const QSize target = target_;
    watcher_.setFuture(QtConcurrent::run([frame = std::move(frame), target]() {
        // Aspect fill of the target, with libyuv's SIMD box/bilinear filter: a fraction of the
        // cost of QImage's smooth scaling, so the worker barely competes with the feed for a core.
        const double k = std::max(target.width() / double(frame.width()), target.height() / double(frame.height()));
        const QSize size(std::max(1, int(std::lround(frame.width() * k))), std::max(1, int(std::lround(frame.height() * k))));
        QImage out(size, QImage::Format_ARGB32_Premultiplied);
        if (out.isNull()) return QImage();
        if (libyuv::ARGBScale(frame.constBits(), int(frame.bytesPerLine()), frame.width(), frame.height(), out.bits(),
                              int(out.bytesPerLine()), size.width(), size.height(), libyuv::kFilterBox) != 0)
            return frame.scaled(target, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
        return out;
    }));
    return true;
}

}  // namespace ostrela
