#pragma once
// Takes the outgoing frame for the window's preview: after the engine publishes a frame, the
// mapped "frame.raw" is copied (the engine writes it on this same thread, so the copy is never
// torn) and scaled to the preview's size on a worker thread. Every published frame is taken while
// the worker keeps up, so the preview moves at the camera's rate. At most one frame is in flight:
// frames published meanwhile are not queued; when the worker is done, the newest of them is taken
// (once), so the preview never lags behind or holds up the outgoing feed.
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>

#include <cstdint>
#include <functional>

namespace ostrela {

class CameraEngine;

class PreviewSource : public QObject {
    Q_OBJECT

public:
    explicit PreviewSource(CameraEngine* engine, QObject* parent = nullptr);
    ~PreviewSource() override;

    // Size (device pixels) the frames are scaled to; an empty size pauses taking frames.
    void setTargetSize(QSize size);
    QSize targetSize() const { return target_; }
    // While inactive (window hidden or minimised) no frame is taken.
    void setActive(bool active);
    bool isActive() const { return active_; }

    // The newest scaled frame; null before the first.
    const QImage& image() const { return image_; }
    void clear();

    // Counters, for the benchmarks and tests: frames copied for scaling, and offered frames that
    // never will be (passed over for a newer one, or dropped when the preview was hidden). Every
    // offered frame ends in one of the two, or is the one waiting (hasNewerFrame()).
    uint64_t framesTaken() const { return taken_; }
    uint64_t framesSkipped() const { return skipped_; }
    bool isPending() const { return pending_; }
    // Whether a frame published during the current scaling waits to be taken.
    bool hasNewerFrame() const { return newer_; }
    // An optional minimum spacing between frames (ms); 0, the default, takes every frame the
    // worker can.
    void setMinimumIntervalMs(int ms) { minIntervalMs_ = ms; }

    // Offers one published frame (what framePublished does); returns whether it was taken now.
    bool offerFrame();
    // Where the frame comes from; by default the mapped "frame.raw" of the container.
    void setFrameMemoryForTesting(const uint8_t* bgra) { memory_ = bgra; }
    // Replaces the worker's scaling step (tests hold it to see what arrives meanwhile).
    using Scaler = std::function<QImage(const QImage& frame, QSize target)>;
    void setScalerForTesting(Scaler scaler) { scaler_ = std::move(scaler); }

signals:
    void imageChanged();

private:
    bool take();
    void scaled();

    QPointer<CameraEngine> engine_;
    const uint8_t* memory_ = nullptr;
    QSize target_;
    bool active_ = true;
    bool pending_ = false;
    bool newer_ = false;
    int minIntervalMs_ = 0;
    QElapsedTimer sinceLast_;
    QFutureWatcher<QImage> watcher_;
    // The copy the worker reads (not touched while a frame is in flight) and the picture shown.
    QImage copy_;
    QImage image_;
    QImage spare_;
    Scaler scaler_;
    uint64_t taken_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace ostrela
