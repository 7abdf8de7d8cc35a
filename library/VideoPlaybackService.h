#pragma once
// Plays one video file so its picture can replace the camera picture. Decoding runs ahead on a
// worker thread; the main thread keeps the playback clock and, once per camera frame, takes the
// frame due at the clock's present moment. Sound follows the same clock through an AudioOutput.
#include "library/AudioOutput.h"
#include "library/OverlayLibraryController.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace ostrela {

class VideoPlaybackService : public QObject, public VideoSink {
    Q_OBJECT
    Q_PROPERTY(QString loadedURL READ loadedURL NOTIFY loadedURLChanged)
    Q_PROPERTY(bool isPlaying READ isPlaying NOTIFY isPlayingChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(double duration READ duration NOTIFY durationChanged)
    Q_PROPERTY(double currentTime READ currentTime NOTIFY currentTimeChanged)
    Q_PROPERTY(double volume READ volume WRITE setVolume NOTIFY volumeChanged)

public:
    static inline const QString kMissingFileMessage = QStringLiteral(
        "This video's file is missing — it may have been moved or deleted. Remove it from the library "
        "(right-click → Delete Video) and add the file again.");

    explicit VideoPlaybackService(QObject* parent = nullptr);
    ~VideoPlaybackService() override;

    QString loadedURL() const { return loadedURL_; }  // empty: nothing loaded
    bool isPlaying() const { return isPlaying_; }
    QString lastError() const { return lastError_; }
    double duration() const { return duration_; }
    double currentTime() const { return currentTime_; }
    double volume() const { return volume_; }
    void setVolume(double volume);

    void load(const QString& path);
    void unload();
    void togglePlayPause();
    void stop();
    void rewind();
    void seek(double seconds);

    // The frame for the present moment of the playback clock; the previous one again when no new
    // frame is due (no copy), nullopt while nothing has been decoded or nothing is loaded.
    std::optional<QImage> currentFrame();
    // currentFrame as the camera engine asks for it: a null image while nothing is shown.
    std::function<QImage()> frameSource();
    // Presentation time of the frame currentFrame last returned, or −1.
    double currentFrameSeconds() const { return lastFrameSeconds_; }

    // VideoSink, for the library's selection step.
    void loadVideo(const QString& path) override { load(path); }
    void unloadVideo() override { unload(); }

    // The periodic step (every 0.25 s while loaded): publishes currentTime and handles the end.
    void tick();
    // Monotonic seconds used as the host clock; tests step it by hand.
    void setClockForTesting(std::function<double()> clock) { clock_ = std::move(clock); }
    // Replaces the desktop's audio output (tests); null means no sound at all.
    void setAudioOutputForTesting(std::unique_ptr<AudioOutput> output);
    // Whether the loaded file's sound is being played out.
    bool hasSound() const { return audioOpen_; }

signals:
    void loadedURLChanged();
    void isPlayingChanged();
    void lastErrorChanged();
    void durationChanged();
    void currentTimeChanged();
    void volumeChanged();

private:
    class Worker;

    double hostNow() const;
    double mediaTime() const;
    void setPlaying(bool on);
    void setCurrentTime(double t);
    void setLastError(const QString& text);
    void seekExact(double t);
    void handleEnd();

    QString loadedURL_;
    bool isPlaying_ = false;
    QString lastError_;
    double duration_ = 0;
    double currentTime_ = 0;
    double volume_ = 1.0;

    std::unique_ptr<Worker> worker_;
    QImage lastFrame_;
    double lastFrameSeconds_ = -1;
    // Clock: while playing, media time = anchorMedia_ + (host now − anchorHost_).
    double anchorMedia_ = 0;
    double anchorHost_ = 0;
    QTimer timeObserver_;
    QElapsedTimer host_;
    std::function<double()> clock_;
    std::unique_ptr<AudioOutput> audio_;
    bool audioOpen_ = false;
};

}  // namespace ostrela
