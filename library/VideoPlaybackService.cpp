#include "library/VideoPlaybackService.h"

#include "library/VideoDecoder.h"
#include "pipeline/Settings.h"

#include <QFileInfo>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace ostrela {

// Decodes ahead of the clock into a short queue. Every seek bumps the generation so frames
// decoded before it are recognised and dropped.
class VideoPlaybackService::Worker {
public:
    // A tenth of a second at 30 fps: a frame decodes in a few milliseconds, so this covers a
    // key frame or a busy moment, and each frame held costs a whole picture (3.7 MB at 720p).
    static constexpr size_t kQueueCapacity = 3;

    struct Frame {
        QImage image;
        double seconds = 0;
        uint64_t generation = 0;
    };

    Worker(QString path, QPointer<VideoPlaybackService> owner) : path_(std::move(path)), owner_(owner) {
        thread_ = std::thread([this] { run(); });
    }
    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void requestSeek(double t) {
        {
            std::lock_guard lock(mutex_);
            ++generation_;
            seekTo_ = t;
            queue_.clear();
            eof_ = false;
        }
        wake_.notify_all();
    }

    // Removes every frame due at `now` and returns the newest of them.
    std::optional<Frame> takeDue(double now) {
        std::optional<Frame> due;
        {
            std::lock_guard lock(mutex_);
            while (!queue_.empty() && queue_.front().generation != generation_) queue_.pop_front();
            while (!queue_.empty() && queue_.front().seconds <= now + 1e-4) {
                due = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (due) wake_.notify_all();
        return due;
    }

    // End time of the stream once the decoder reached it for the current generation.
    std::optional<double> endSeconds() {
        std::lock_guard lock(mutex_);
        if (!eof_ || seekTo_) return std::nullopt;
        return endSeconds_;
    }

private:
    void run() {
        VideoDecoder decoder;
        const bool opened = decoder.open(path_);
        const double duration = opened ? decoder.duration() : 0;
        QMetaObject::invokeMethod(
            owner_.data(),
            [owner = owner_, duration] {
                if (owner && std::isfinite(duration) && duration > 0 && owner->duration_ != duration) {
                    owner->duration_ = duration;
                    emit owner->durationChanged();
                }
            },
            Qt::QueuedConnection);
        double lastEnd = 0;
        for (;;) {
            uint64_t generation;
            std::optional<double> seekTo;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return quit_ || seekTo_ || (!eof_ && queue_.size() < kQueueCapacity); });
                if (quit_) return;
                generation = generation_;
                seekTo = seekTo_;
                seekTo_.reset();
            }
            if (!opened) {
                std::lock_guard lock(mutex_);
                if (generation == generation_) eof_ = true;
                endSeconds_ = 0;
                continue;
            }
            if (seekTo) decoder.seek(*seekTo);
            auto frame = decoder.nextFrame();
            std::lock_guard lock(mutex_);
            if (generation != generation_) continue;  // a seek came in meanwhile
            if (!frame) {
                eof_ = true;
                endSeconds_ = lastEnd;
                continue;
            }
            lastEnd = frame->seconds + frame->durationSeconds;
            queue_.push_back({std::move(frame->image), frame->seconds, generation});
        }
    }

    const QString path_;
    QPointer<VideoPlaybackService> owner_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Frame> queue_;
    uint64_t generation_ = 0;
    std::optional<double> seekTo_;
    bool eof_ = false;
    double endSeconds_ = 0;
    bool quit_ = false;
};

VideoPlaybackService::VideoPlaybackService(QObject* parent) : QObject(parent) {
    volume_ = settings::videoPlaybackVolume();
    audio_ = makeSystemAudioOutput();
    audio_->setVolume(volume_);
    host_.start();
    timeObserver_.setInterval(250);
    connect(&timeObserver_, &QTimer::timeout, this, &VideoPlaybackService::tick);
}

VideoPlaybackService::~VideoPlaybackService() = default;

double VideoPlaybackService::hostNow() const {
    return clock_ ? clock_() : host_.nsecsElapsed() / 1e9;
}

double VideoPlaybackService::mediaTime() const {
    return isPlaying_ ? anchorMedia_ + (hostNow() - anchorHost_) : anchorMedia_;
}

void VideoPlaybackService::setPlaying(bool on) {
    if (isPlaying_ == on) return;
    // Re-anchor so the clock continues from where it stands.
    anchorMedia_ = mediaTime();
    anchorHost_ = hostNow();
    isPlaying_ = on;
    if (audioOpen_) {
        if (on)
            audio_->play(anchorMedia_);
        else
            audio_->pause();
    }
    emit isPlayingChanged();
}

void VideoPlaybackService::setAudioOutputForTesting(std::unique_ptr<AudioOutput> output) {
    if (audio_) audio_->close();
    audio_ = std::move(output);
    audioOpen_ = false;
    if (audio_) audio_->setVolume(volume_);
}

void VideoPlaybackService::setCurrentTime(double t) {
    if (currentTime_ == t) return;
    currentTime_ = t;
    emit currentTimeChanged();
}

void VideoPlaybackService::setLastError(const QString& text) {
    if (lastError_ == text) return;
    lastError_ = text;
    emit lastErrorChanged();
}

void VideoPlaybackService::setVolume(double volume) {
    if (volume_ != volume) {
        volume_ = volume;
        emit volumeChanged();
    }
    if (audio_) audio_->setVolume(volume);
    settings::setVideoPlaybackVolume(volume);
}

void VideoPlaybackService::load(const QString& path) {
    unload();
    if (!QFileInfo::exists(path)) {
        loadedURL_ = path;
        emit loadedURLChanged();
        setLastError(kMissingFileMessage);
        return;
    }
    worker_ = std::make_unique<Worker>(path, QPointer<VideoPlaybackService>(this));
    audioOpen_ = audio_ && audio_->open(path);
    anchorMedia_ = 0;
    anchorHost_ = hostNow();
    timeObserver_.start();
    loadedURL_ = path;
    emit loadedURLChanged();
}

void VideoPlaybackService::unload() {
    timeObserver_.stop();
    worker_.reset();
    if (audioOpen_) audio_->close();
    audioOpen_ = false;
    const bool hadURL = !loadedURL_.isEmpty();
    loadedURL_.clear();
    setPlaying(false);
    lastFrame_ = QImage();
    lastFrameSeconds_ = -1;
    anchorMedia_ = 0;
    if (duration_ != 0) {
        duration_ = 0;
        emit durationChanged();
    }
    setCurrentTime(0);
    setLastError(QString());
    if (hadURL) emit loadedURLChanged();
}

void VideoPlaybackService::togglePlayPause() { setPlaying(!isPlaying_); }

void VideoPlaybackService::seekExact(double t) {
    anchorMedia_ = t;
    anchorHost_ = hostNow();
    if (worker_) worker_->requestSeek(t);
    if (audioOpen_ && isPlaying_) audio_->play(t);
}

void VideoPlaybackService::stop() {
    setPlaying(false);
    seekExact(0);
    setCurrentTime(0);
}

void VideoPlaybackService::rewind() {
    seekExact(0);
    setCurrentTime(0);
}

void VideoPlaybackService::seek(double seconds) {
    const double upper = duration_ > 0 ? duration_ : seconds;
    double t = std::min(seconds, upper);
    if (!(t >= 0)) t = 0;  // also catches NaN
    seekExact(t);
    setCurrentTime(t);
}

std::optional<QImage> VideoPlaybackService::currentFrame() {
    if (!worker_) return std::nullopt;
    if (auto due = worker_->takeDue(mediaTime())) {
        lastFrame_ = std::move(due->image);
        lastFrameSeconds_ = due->seconds;
    }
    if (lastFrame_.isNull()) return std::nullopt;
    return lastFrame_;
}

std::function<QImage()> VideoPlaybackService::frameSource() {
    QPointer<VideoPlaybackService> self(this);
    return [self] {
        if (!self) return QImage();
        auto frame = self->currentFrame();
        return frame ? *frame : QImage();
    };
}

void VideoPlaybackService::handleEnd() {
    setPlaying(false);
    seekExact(0);
    setCurrentTime(0);
}

void VideoPlaybackService::tick() {
    if (!worker_) return;
    double now = mediaTime();
    // The clock runs whether or not the engine pulls frames; keep the decoder moving with it.
    if (auto due = worker_->takeDue(now)) {
        lastFrame_ = std::move(due->image);
        lastFrameSeconds_ = due->seconds;
    }
    if (isPlaying_) {
        const auto end = worker_->endSeconds();
        const double limit = end ? *end : (duration_ > 0 ? duration_ : -1);
        if (end && now >= limit) {
            handleEnd();
            return;
        }
        if (limit > 0) now = std::min(now, limit);
    }
    setCurrentTime(now);
}

}  // namespace ostrela
