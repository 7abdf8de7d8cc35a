#include "pipeline/capture/SyntheticCamera.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <turbojpeg.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace ostrela::capture {

int testPatternSquareX(int width, int height, uint64_t frameIndex) {
    int side = std::max(1, height / 4);
    int travel = std::max(1, width - side);
    return int((frameIndex * 8) % uint64_t(travel));
}

int testPatternBarsBottom(int height) { return height * 3 / 4; }

void renderTestPattern(uint8_t* bgra, int width, int height, int stride, uint64_t frameIndex) {
    const int barsBottom = testPatternBarsBottom(height);
    if (barsBottom > 0) {
        uint32_t* first = reinterpret_cast<uint32_t*>(bgra);
        for (int x = 0; x < width; ++x) {
            const PatternColor& c = kTestPatternBars[size_t(x) * 8 / size_t(width)];
            first[x] = 0xFF000000u | (uint32_t(c.r) << 16) | (uint32_t(c.g) << 8) | c.b;
        }
        for (int y = 1; y < barsBottom; ++y) std::memcpy(bgra + size_t(y) * size_t(stride), first, size_t(width) * 4);
    }
    renderTestPatternSquareRows(bgra, width, height, stride, frameIndex);
}

void renderTestPatternSquareRows(uint8_t* bgra, int width, int height, int stride, uint64_t frameIndex) {
    const int barsBottom = testPatternBarsBottom(height);
    const int side = std::max(1, height / 4);
    const int sx = testPatternSquareX(width, height, frameIndex);
    for (int y = barsBottom; y < height; ++y) {
        uint32_t* row = reinterpret_cast<uint32_t*>(bgra + size_t(y) * size_t(stride));
        const bool inSquare = y - barsBottom < side;
        for (int x = 0; x < width; ++x)
            row[x] = (inSquare && x >= sx && x < sx + side) ? 0xFFFFFFFFu : 0xFF000000u;
    }
}

std::vector<uint8_t> encodeBGRA(const uint8_t* bgra, int w, int h, int bgraStride, uint32_t pixelFormat, int* stride,
                                int jpegQuality) {
    std::vector<uint8_t> out;
    if (w <= 0 || h <= 0) return out;
    if (pixelFormat == kPixelFormatYUYV) {
        int s = ((w + 1) / 2) * 4;
        out.resize(size_t(s) * size_t(h));
        libyuv::ARGBToYUY2(bgra, bgraStride, out.data(), s, w, h);
        if (stride) *stride = s;
    } else if (pixelFormat == kPixelFormatNV12) {
        int s = w + (w & 1);
        out.resize(size_t(s) * size_t(h) + size_t(s) * size_t((h + 1) / 2));
        libyuv::ARGBToNV12(bgra, bgraStride, out.data(), s, out.data() + size_t(s) * size_t(h), s, w, h);
        if (stride) *stride = s;
    } else if (pixelFormat == kPixelFormatBGRA) {
        out.resize(size_t(w) * 4 * size_t(h));
        libyuv::ARGBCopy(bgra, bgraStride, out.data(), w * 4, w, h);
        if (stride) *stride = w * 4;
    } else if (pixelFormat == kPixelFormatMJPEG || pixelFormat == kPixelFormatJPEG) {
        tjhandle tj = tjInitCompress();
        if (!tj) return out;
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(tj, bgra, w, bgraStride, h, TJPF_BGRA, &jpeg, &size, TJSAMP_422, jpegQuality, 0) == 0)
            out.assign(jpeg, jpeg + size);
        tjFree(jpeg);
        tjDestroy(tj);
        if (stride) *stride = 0;
    }
    return out;
}

class SyntheticStream : public CaptureStream {
public:
    SyntheticStream(SyntheticCaptureBackend* backend, SyntheticCameraSpec spec)
        : backend_(backend), spec_(std::move(spec)), running_(backend->running_) {
        if (!spec_.formats.empty()) format_ = spec_.formats.front();
    }
    ~SyntheticStream() override { stop(); }

    bool setActiveFormat(const CaptureFormat& format) override {
        format_ = format;
        std::lock_guard lock(backend_->mutex_);
        backend_->lastActiveFormat_ = format;
        return true;
    }

    bool start(FrameCallback callback, QString* error) override {
        stop();
        if (!spec_.startError.isEmpty()) {
            if (error) *error = spec_.startError;
            return false;
        }
        if (format_.width <= 0 || format_.height <= 0 || !isSupportedPixelFormat(format_.pixelFormat)) {
            if (error) *error = QStringLiteral("Unsupported synthetic format");
            return false;
        }
        quit_ = false;
        running_->fetch_add(1);
        thread_ = std::thread([this, cb = std::move(callback), fmt = format_] { run(cb, fmt); });
        return true;
    }

    void stop() override {
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(m_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
        running_->fetch_sub(1);
    }

private:
    void run(const FrameCallback& cb, CaptureFormat fmt) {
        const double rate = fmt.maxFrameRate > 0 ? fmt.maxFrameRate : 30.0;
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(1.0 / rate));
        const int w = fmt.width, h = fmt.height, bgraStride = w * 4;
        std::vector<uint8_t> bgra(size_t(bgraStride) * size_t(h));
        // Only the lower quarter moves: the bars are drawn and encoded once, and in the formats
        // whose rows are encoded on their own (YUYV, BGRA) only the moving rows are again. The
        // callback is done with a frame's bytes when it returns.
        const bool rowsAlone = fmt.pixelFormat == kPixelFormatYUYV || fmt.pixelFormat == kPixelFormatBGRA;
        const int y0 = testPatternBarsBottom(h);
        std::vector<uint8_t> encoded;
        int stride = 0;
        auto next = std::chrono::steady_clock::now();
        for (uint64_t index = 0;; ++index) {
            if (index == 0 || !rowsAlone || encoded.empty()) {
                renderTestPattern(bgra.data(), w, h, bgraStride, index);
                encoded = encodeBGRA(bgra.data(), w, h, bgraStride, fmt.pixelFormat, &stride);
            } else {
                renderTestPatternSquareRows(bgra.data(), w, h, bgraStride, index);
                const uint8_t* src = bgra.data() + size_t(y0) * bgraStride;
                uint8_t* dst = encoded.data() + size_t(y0) * stride;
                if (fmt.pixelFormat == kPixelFormatYUYV) libyuv::ARGBToYUY2(src, bgraStride, dst, stride, w, h - y0);
                else libyuv::ARGBCopy(src, bgraStride, dst, stride, w, h - y0);
            }
            RawFrame frame{fmt.pixelFormat, w, h, stride, encoded.data(), encoded.size(), index};
            cb(frame);
            next += period;
            std::unique_lock lock(m_);
            if (cv_.wait_until(lock, next, [this] { return quit_; })) return;
        }
    }

    SyntheticCaptureBackend* backend_;
    SyntheticCameraSpec spec_;
    CaptureFormat format_;
    std::shared_ptr<std::atomic<int>> running_;
    std::thread thread_;
    std::mutex m_;
    std::condition_variable cv_;
    bool quit_ = false;
};

SyntheticCaptureBackend::SyntheticCaptureBackend(std::vector<SyntheticCameraSpec> cameras)
    : cameras_(std::move(cameras)) {}

void SyntheticCaptureBackend::setAuthorization(CaptureAuthorization status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void SyntheticCaptureBackend::setAccessAnswer(bool granted) {
    std::lock_guard lock(mutex_);
    accessAnswer_ = granted;
}

void SyntheticCaptureBackend::setCameras(std::vector<SyntheticCameraSpec> cameras) {
    std::lock_guard lock(mutex_);
    cameras_ = std::move(cameras);
}

int SyntheticCaptureBackend::openCount() const {
    std::lock_guard lock(mutex_);
    return openCount_;
}

QString SyntheticCaptureBackend::lastOpenedID() const {
    std::lock_guard lock(mutex_);
    return lastOpenedID_;
}

std::optional<CaptureFormat> SyntheticCaptureBackend::lastActiveFormat() const {
    std::lock_guard lock(mutex_);
    return lastActiveFormat_;
}

int SyntheticCaptureBackend::runningStreams() const { return running_->load(); }

CaptureAuthorization SyntheticCaptureBackend::authorizationStatus() {
    std::lock_guard lock(mutex_);
    return status_;
}

void SyntheticCaptureBackend::requestAccess(std::function<void(bool)> completion) {
    bool granted;
    {
        std::lock_guard lock(mutex_);
        granted = accessAnswer_;
        status_ = granted ? CaptureAuthorization::authorized : CaptureAuthorization::denied;
    }
    // Answer from another thread, as a real prompt would.
    std::thread([completion = std::move(completion), granted] { completion(granted); }).detach();
}

std::vector<CaptureDeviceInfo> SyntheticCaptureBackend::discoverDevices() {
    std::lock_guard lock(mutex_);
    std::vector<CaptureDeviceInfo> out;
    for (const auto& c : cameras_) out.push_back({c.localizedName, c.uniqueID, QStringLiteral("synthetic:") + c.uniqueID, c.formats});
    return out;
}

std::unique_ptr<CaptureStream> SyntheticCaptureBackend::openDevice(const CaptureDeviceInfo& device, QString* error) {
    std::optional<SyntheticCameraSpec> spec;
    {
        std::lock_guard lock(mutex_);
        for (const auto& c : cameras_)
            if (c.uniqueID == device.uniqueID) spec = c;
        if (!spec) {
            if (error) *error = QStringLiteral("The camera is no longer connected");
            return nullptr;
        }
        if (!spec->openError.isEmpty()) {
            if (error) *error = spec->openError;
            return nullptr;
        }
        ++openCount_;
        lastOpenedID_ = device.uniqueID;
    }
    return std::make_unique<SyntheticStream>(this, std::move(*spec));
}

}  // namespace ostrela::capture
