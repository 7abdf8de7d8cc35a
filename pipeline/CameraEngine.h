#pragma once
// The camera engine: permission, device and format choice, the capture session and the per-frame
// step that publishes every camera frame into the shared frame buffer, plus the broadcast clock.
// Published state changes on the main thread only. Configuration, start and stop run in order on
// one worker thread ("cameraEngine.capture"); frames arrive on the stream's own thread, which only
// converts them and hands the newest one to the main thread.
#include "pipeline/capture/CaptureDevice.h"

#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace ostrela {

class CameraEngine : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(int broadcastElapsedSeconds READ broadcastElapsedSeconds NOTIFY broadcastElapsedSecondsChanged)
    Q_PROPERTY(QString broadcastClockText READ broadcastClockText NOTIFY broadcastElapsedSecondsChanged)

public:
    // Renders one output frame (fit, effect, overlay or picture-in-picture, bar) into `dst`, the
    // 1280×720 BGRA mapping of "frame.raw". `video` is the current video frame or null; `t` is
    // the frame time in seconds since 2001-01-01 00:00:00 UTC.
    using FrameRenderer = std::function<void(const QImage& camera, const QImage* video, double t, uint8_t* dst)>;
    // Gives the video frame to show now, or a null image while no video plays.
    using VideoFrameSource = std::function<QImage()>;

    // Without a backend the engine captures from V4L2.
    explicit CameraEngine(std::shared_ptr<capture::CaptureBackend> backend = nullptr, QObject* parent = nullptr);
    ~CameraEngine() override;

    // Queues permission and configuration and returns at once; the outcome arrives as isRunning
    // or lastError.
    void start();
    // Queues stopping the session; the feed reads as stopped and the clock resets at once.
    void stop();

    // Every discovered device except our own virtual camera "Ostrela", in discovery order.
    std::vector<capture::CaptureDeviceInfo> discoverPhysicalCameras() const;
    static std::vector<capture::CaptureDeviceInfo> physicalCameras(const std::vector<capture::CaptureDeviceInfo>& all);
    // The effect-free format nearest to 1280×720 pixels (the earlier one on a tie), or none.
    static std::optional<capture::CaptureFormat> pickCleanFormat(const capture::CaptureDeviceInfo& device);
    // "m:ss" below an hour, "h:mm:ss" from then on.
    static QString formatBroadcastClock(qint64 seconds);

    // Fits the video frame when there is one, else the camera picture, to 1280×720 (aspect
    // fill, centred) straight into dst, with no effect or overlay.
    static void renderFittedFrame(const QImage& camera, const QImage* video, double t, uint8_t* dst);

    bool isRunning() const { return isRunning_; }
    QString lastError() const { return lastError_; }  // null when there is none
    int broadcastElapsedSeconds() const { return broadcastElapsedSeconds_; }
    QString broadcastClockText() const { return formatBroadcastClock(broadcastElapsedSeconds_); }
    std::optional<QDateTime> broadcastStartDate() const { return broadcastStartDate_; }
    uint64_t generation() const { return generation_; }
    bool isBroadcastTimerActive() const { return broadcastTimer_ != nullptr; }

    // The full per-frame step (effect, cards, bar) on a composer of its own: the renderer used
    // until another is set, and again after setFrameRenderer(nullptr).
    // The composer's renderer; `barText` gives the bar's text (none: the bar shows no text).
    static FrameRenderer composedFrameRenderer(std::function<QString()> barText = {});
    void setFrameRenderer(FrameRenderer renderer);
    // Both are held weakly: once `owner` is destroyed the engine stops asking it.
    void setVideoPlayback(QObject* owner, VideoFrameSource source);
    void setPerformanceMonitor(QObject* owner, std::function<void()> countFrame);
    // Replaces the wall clock of the broadcast timer (tests).
    void setClockForTesting(std::function<QDateTime()> now);

    // The per-frame step for one converted camera picture; main thread.
    void processFrame(const QImage& camera);

public slots:
    // One tick of the broadcast clock.
    void tickBroadcastClock();

signals:
    void isRunningChanged(bool running);
    void lastErrorChanged(const QString& message);
    void broadcastElapsedSecondsChanged(int seconds);
    void framePublished(quint64 generation);

private:
    struct Shared;
    class SerialQueue;

    void takePendingFrame();
    void reportSuccess(uint64_t epoch);
    void reportFailure(uint64_t epoch, const QString& message);
    void setRunning(bool running);
    void setLastError(const QString& message);
    void setElapsed(int seconds);
    void startBroadcastTimer();
    void stopBroadcastTimer();
    QDateTime now() const;

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<SerialQueue> captureQueue_;

    bool isRunning_ = false;
    QString lastError_;
    int broadcastElapsedSeconds_ = 0;
    std::optional<QDateTime> broadcastStartDate_;
    QTimer* broadcastTimer_ = nullptr;
    uint64_t generation_ = 0;
    // Raised by every stop, so the outcome of a start that was overtaken by a stop is dropped.
    uint64_t stopEpoch_ = 0;

    FrameRenderer renderer_;
    QPointer<QObject> videoOwner_;
    VideoFrameSource videoSource_;
    QPointer<QObject> monitorOwner_;
    std::function<void()> countFrame_;
    std::function<QDateTime()> clock_;
};

}  // namespace ostrela
