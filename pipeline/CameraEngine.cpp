#include "pipeline/CameraEngine.h"

#include "pipeline/FrameComposer.h"

#include "pipeline/FrameBuffer.h"
#include "pipeline/Settings.h"
#include "pipeline/capture/PixelConversion.h"
#include "pipeline/capture/V4L2Backend.h"

#include <libyuv/planar_functions.h>
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-enum-enum-conversion"
#include <opencv2/imgproc.hpp>
#pragma GCC diagnostic pop

#include <QStringList>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace ostrela {

using namespace capture;

namespace {
constexpr char kVirtualCameraName[] = "Ostrela";
constexpr qsizetype kMaxPooledFrames = 6;
}  // namespace

// A serial task queue on one thread, like a dispatch queue.
class CameraEngine::SerialQueue {
public:
    explicit SerialQueue(const char* name) : thread_([this, n = std::string(name)] { run(n); }) {}
    ~SerialQueue() {
        {
            std::lock_guard lock(m_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();  // drains what was queued first
    }
    void post(std::function<void()> task) {
        {
            std::lock_guard lock(m_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_all();
    }

private:
    void run(const std::string& name) {
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(m_);
                cv_.wait(lock, [this] { return quit_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::thread thread_;
};

// State shared between the main thread, the capture queue and the stream thread.
struct CameraEngine::Shared {
    std::shared_ptr<CaptureBackend> backend;
    std::atomic<uint8_t*> frameBuffer{nullptr};

    // Posting back to the engine; `engine` is cleared before the engine goes away.
    std::mutex postMutex;
    CameraEngine* engine = nullptr;

    // The newest converted frame not yet taken by the main thread.
    std::mutex mailboxMutex;
    QImage pending;
    bool posted = false;

    // Stream thread only.
    FrameConverter converter;
    std::vector<QImage> pool;

    // Capture queue only; declared last so it stops (and joins its thread) before the rest goes.
    std::unique_ptr<CaptureStream> stream;

    ~Shared() { stream.reset(); }

    template <typename F>
    void postToEngine(F&& f) {
        std::lock_guard lock(postMutex);
        if (!engine) return;
        CameraEngine* e = engine;
        // Events for a destroyed object are discarded, and the engine clears `engine` under
        // postMutex before it is destroyed, so this never reaches a dead engine.
        QMetaObject::invokeMethod(e, [e, f = std::forward<F>(f)] { f(e); }, Qt::QueuedConnection);
    }

    void onRawFrame(const RawFrame& frame) {
        QImage* slot = nullptr;
        for (QImage& img : pool)
            if (!img.isNull() && img.isDetached()) {
                slot = &img;
                break;
            }
        if (!slot) {
            if (qsizetype(pool.size()) >= kMaxPooledFrames) return;  // everything still in use: drop
            pool.emplace_back();
            slot = &pool.back();
        }
        if (!converter.convert(frame, *slot)) return;
        bool needPost;
        {
            std::lock_guard lock(mailboxMutex);
            pending = *slot;  // replaces a frame the main thread has not taken yet
            needPost = !posted;
            posted = true;
        }
        if (needPost) postToEngine([](CameraEngine* e) { e->takePendingFrame(); });
    }

    void stopStream() {
        if (stream) {
            stream->stop();
            stream.reset();
        }
    }

    void configureAndRun(uint64_t epoch);
};

void CameraEngine::Shared::configureAndRun(uint64_t epoch) {
    auto fail = [this, epoch](const QString& message) {
        postToEngine([epoch, message](CameraEngine* e) { e->reportFailure(epoch, message); });
    };
    const std::vector<CaptureDeviceInfo> all = backend->discoverDevices();
    const std::vector<CaptureDeviceInfo> physical = physicalCameras(all);
    if (physical.empty()) {
        QStringList names;
        for (const auto& d : all) names << d.localizedName;
        fail(QStringLiteral("No physical camera device available (only found: ") + names.join(QStringLiteral(", ")) +
             QStringLiteral(")"));
        return;
    }
    const QString wanted = settings::selectedCameraUniqueID();
    const CaptureDeviceInfo* device = &physical.front();
    for (const auto& d : physical)
        if (d.uniqueID == wanted) {
            device = &d;
            break;
        }

    // The session has one input and one output: the previous device goes first.
    stopStream();
    QString error;
    std::unique_ptr<CaptureStream> opened = backend->openDevice(*device, &error);
    if (!opened) {
        fail(QStringLiteral("Camera permission denied or unavailable: ") + error);
        return;
    }
    if (auto format = pickCleanFormat(*device)) (void)opened->setActiveFormat(*format);  // refusal keeps the current one

    if (!frameBuffer.load()) {
        frameBuffer.store(openFrameBuffer(true));
        if (!frameBuffer.load()) {
            fail(QStringLiteral("Could not open the shared frame buffer"));
            return;
        }
    }
    if (!opened->start([this](const RawFrame& f) { onRawFrame(f); }, &error)) {
        // A device that will not stream (busy elsewhere, unplugged meanwhile) must not read as running.
        fail(QStringLiteral("Camera permission denied or unavailable: ") + error);
        return;
    }
    stream = std::move(opened);
    postToEngine([epoch](CameraEngine* e) { e->reportSuccess(epoch); });
}

CameraEngine::CameraEngine(std::shared_ptr<CaptureBackend> backend, QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>()), renderer_(composedFrameRenderer()) {
    shared_->backend = backend ? std::move(backend) : std::make_shared<V4L2Backend>();
    shared_->engine = this;
    captureQueue_ = std::make_unique<SerialQueue>("cameraEngine.capture");
}

CameraEngine::~CameraEngine() {
    {
        std::lock_guard lock(shared_->postMutex);
        shared_->engine = nullptr;
    }
    captureQueue_->post([s = shared_] { s->stopStream(); });
    captureQueue_.reset();
}

void CameraEngine::start() {
    const uint64_t epoch = stopEpoch_;
    captureQueue_->post([weak = std::weak_ptr<Shared>(shared_), epoch] {
        auto s = weak.lock();
        if (!s) return;
        CaptureBackend& b = *s->backend;
        switch (b.authorizationStatus()) {
        case CaptureAuthorization::notDetermined: {
            // Nothing else runs on this queue until the user has answered.
            auto answered = std::make_shared<std::promise<bool>>();
            std::future<bool> answer = answered->get_future();
            b.requestAccess([answered](bool granted) { answered->set_value(granted); });
            answer.wait();
            if (b.authorizationStatus() == CaptureAuthorization::authorized) {
                s->configureAndRun(epoch);
            } else {
                s->postToEngine([epoch](CameraEngine* e) {
                    e->reportFailure(epoch, QStringLiteral("Camera access was not granted"));
                });
            }
            break;
        }
        case CaptureAuthorization::authorized:
            s->configureAndRun(epoch);
            break;
        case CaptureAuthorization::denied:
        case CaptureAuthorization::restricted:
            s->postToEngine([epoch](CameraEngine* e) {
                e->reportFailure(epoch, QStringLiteral("Camera access denied — enable it by adding yourself to the "
                                                       "video group, then log in again"));
            });
            break;
        }
    });
}

void CameraEngine::stop() {
    ++stopEpoch_;
    captureQueue_->post([weak = std::weak_ptr<Shared>(shared_)] {
        if (auto s = weak.lock()) s->stopStream();
    });
    setRunning(false);
    stopBroadcastTimer();
}

std::vector<CaptureDeviceInfo> CameraEngine::physicalCameras(const std::vector<CaptureDeviceInfo>& all) {
    std::vector<CaptureDeviceInfo> out;
    for (const auto& d : all)
        if (d.localizedName != QLatin1String(kVirtualCameraName)) out.push_back(d);
    return out;
}

std::vector<CaptureDeviceInfo> CameraEngine::discoverPhysicalCameras() const {
    return physicalCameras(shared_->backend->discoverDevices());
}

std::optional<CaptureFormat> CameraEngine::pickCleanFormat(const CaptureDeviceInfo& device) {
    // Linux has no background-replacement effect, so the newer-system rule always applies.
    std::optional<CaptureFormat> best;
    long long bestDistance = 0;
    for (const CaptureFormat& f : device.formats) {
        if (f.supportsPortraitEffect || f.supportsStudioLight || f.supportsReactionEffects ||
            f.supportsBackgroundReplacement)
            continue;
        long long distance = std::llabs((long long)f.width * f.height - 1280LL * 720LL);
        if (!best || distance < bestDistance) {
            best = f;
            bestDistance = distance;
        }
    }
    return best;
}

QString CameraEngine::formatBroadcastClock(qint64 s) {
    if (s < 0) s = 0;  // a wall clock set back must not show a negative time
    if (s < 3600) return QString::asprintf("%d:%02d", int(s / 60), int(s % 60));
    return QString::asprintf("%lld:%02d:%02d", (long long)(s / 3600), int((s % 3600) / 60), int(s % 60));
}

void CameraEngine::renderFittedFrame(const QImage& camera, const QImage* video, double, uint8_t* dst) {
    const QImage& chosen = (video && !video->isNull()) ? *video : camera;
    if (!dst || chosen.isNull() || chosen.width() <= 0 || chosen.height() <= 0) return;
    QImage converted;
    const QImage* src = &chosen;
    if (chosen.format() != QImage::Format_ARGB32_Premultiplied && chosen.format() != QImage::Format_RGB32) {
        converted = chosen.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        src = &converted;
    }
    const int w = src->width(), h = src->height();
    const uint8_t* bits = src->constBits();
    const int stride = int(src->bytesPerLine());
    if (w == kFrameWidth && h == kFrameHeight) {
        libyuv::ARGBCopy(bits, stride, dst, kFrameStride, w, h);
    } else {
        // Aspect fill: the centred part of the source with the output's aspect ratio.
        const double s = std::max(double(kFrameWidth) / w, double(kFrameHeight) / h);
        const int cw = std::clamp(int(std::lround(kFrameWidth / s)), 1, w);
        const int ch = std::clamp(int(std::lround(kFrameHeight / s)), 1, h);
        const int x0 = (w - cw) / 2, y0 = (h - ch) / 2;
        // OpenCV rather than libyuv here: libyuv's scaler turns 255 into 253, which would break
        // opaque alpha and pure white.
        const cv::Mat from(ch, cw, CV_8UC4, const_cast<uint8_t*>(bits) + size_t(y0) * size_t(stride) + size_t(x0) * 4,
                           size_t(stride));
        cv::Mat to(kFrameHeight, kFrameWidth, CV_8UC4, dst, size_t(kFrameStride));
        cv::resize(from, to, to.size(), 0, 0, s < 0.5 ? cv::INTER_AREA : cv::INTER_LINEAR);
    }
    if (src->format() == QImage::Format_RGB32) {
        // RGB32's fourth byte is unspecified padding; the buffer promises opaque alpha.
        for (size_t i = 3; i < kFrameBytes; i += 4) dst[i] = 0xFF;
    }
}

CameraEngine::FrameRenderer CameraEngine::composedFrameRenderer(std::function<QString()> barText) {
    // The composer keeps its tile arenas between frames, so one lives as long as the renderer.
    auto composer = std::make_shared<FrameComposer>();
    composer->setBarTextSource(std::move(barText));
    return [composer](const QImage& camera, const QImage* video, double t, uint8_t* dst) {
        composer->render(camera, video, t, dst);
    };
}

void CameraEngine::setFrameRenderer(FrameRenderer renderer) {
    renderer_ = renderer ? std::move(renderer) : composedFrameRenderer();
}

void CameraEngine::setVideoPlayback(QObject* owner, VideoFrameSource source) {
    videoOwner_ = owner;
    videoSource_ = std::move(source);
}

void CameraEngine::setPerformanceMonitor(QObject* owner, std::function<void()> countFrame) {
    monitorOwner_ = owner;
    countFrame_ = std::move(countFrame);
}

void CameraEngine::setClockForTesting(std::function<QDateTime()> now) { clock_ = std::move(now); }

QDateTime CameraEngine::now() const { return clock_ ? clock_() : QDateTime::currentDateTimeUtc(); }

void CameraEngine::takePendingFrame() {
    QImage frame;
    {
        std::lock_guard lock(shared_->mailboxMutex);
        frame = std::move(shared_->pending);
        shared_->pending = QImage();
        shared_->posted = false;
    }
    if (!frame.isNull()) processFrame(frame);
}

void CameraEngine::processFrame(const QImage& camera) {
    uint8_t* dst = shared_->frameBuffer.load();
    if (!dst) return;
    if (camera.isNull()) return;
    // Someone may have removed, replaced or cut "frame.raw" since the last frame: map it again.
    (void)refreshFrameBuffer(dst);
    QImage video;
    if (videoOwner_ && videoSource_) video = videoSource_();
    const double t = frameTimeNow();
    renderer_(camera, video.isNull() ? nullptr : &video, t, dst);
    ++generation_;
    writeFrameState(generation_);
    if (monitorOwner_ && countFrame_) QMetaObject::invokeMethod(monitorOwner_.data(), countFrame_, Qt::QueuedConnection);
    emit framePublished(generation_);
}

void CameraEngine::reportSuccess(uint64_t epoch) {
    if (epoch != stopEpoch_) return;
    setRunning(true);
    setLastError(QString());
    startBroadcastTimer();
}

void CameraEngine::reportFailure(uint64_t epoch, const QString& message) {
    if (epoch != stopEpoch_) return;
    setRunning(false);
    setLastError(message);
    stopBroadcastTimer();
}

void CameraEngine::setRunning(bool running) {
    if (running == isRunning_) return;
    isRunning_ = running;
    emit isRunningChanged(running);
}

void CameraEngine::setLastError(const QString& message) {
    if (message.isNull() == lastError_.isNull() && message == lastError_) return;
    lastError_ = message;
    emit lastErrorChanged(message);
}

void CameraEngine::setElapsed(int seconds) {
    if (seconds == broadcastElapsedSeconds_) return;
    broadcastElapsedSeconds_ = seconds;
    emit broadcastElapsedSecondsChanged(seconds);
}

void CameraEngine::startBroadcastTimer() {
    if (broadcastStartDate_) return;
    broadcastStartDate_ = now();
    setElapsed(0);
    delete broadcastTimer_;
    broadcastTimer_ = new QTimer(this);
    broadcastTimer_->setInterval(1000);
    connect(broadcastTimer_, &QTimer::timeout, this, &CameraEngine::tickBroadcastClock);
    broadcastTimer_->start();
}

void CameraEngine::tickBroadcastClock() {
    if (!broadcastStartDate_) return;
    const qint64 ms = broadcastStartDate_->msecsTo(now());
    setElapsed(int(std::clamp<qint64>(ms / 1000, 0, INT32_MAX)));
}

void CameraEngine::stopBroadcastTimer() {
    delete broadcastTimer_;
    broadcastTimer_ = nullptr;
    broadcastStartDate_.reset();
    setElapsed(0);
}

}  // namespace ostrela
