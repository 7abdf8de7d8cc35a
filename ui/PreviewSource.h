#pragma once
// Takes the outgoing frame for the window's preview: after the engine publishes a frame, the
// mapped "frame.raw" is copied (the engine writes it on this same thread, so the copy is never
// torn) and scaled to the preview's size on a worker thread. At most one frame is in flight and
// at most kMaxFramesPerSecond are taken, so the preview never holds up the outgoing feed.
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>

#include <cstdint>

namespace ostrela {

class CameraEngine;

class PreviewSource : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxFramesPerSecond = 15;

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

    // Counters, for the window benchmark and tests.
    uint64_t framesTaken() const { return taken_; }
    uint64_t framesSkipped() const { return skipped_; }
    bool isPending() const { return pending_; }
    // Replaces the minimum spacing between frames (ms); 0 takes every frame that isn't
    // skipped for a pending one.
    void setMinimumIntervalMs(int ms) { minIntervalMs_ = ms; }

    // Offers one published frame (what framePublished does); returns whether it was taken.
    bool offerFrame();
    // Where the frame comes from; by default the mapped "frame.raw" of the container.
    void setFrameMemoryForTesting(const uint8_t* bgra) { memory_ = bgra; }

signals:
    void imageChanged();

private:
    QPointer<CameraEngine> engine_;
    const uint8_t* memory_ = nullptr;
    QSize target_;
    bool active_ = true;
    bool pending_ = false;
    int minIntervalMs_ = 1000 / kMaxFramesPerSecond;
    QElapsedTimer sinceLast_;
    QFutureWatcher<QImage> watcher_;
    QImage image_;
    uint64_t taken_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace ostrela
