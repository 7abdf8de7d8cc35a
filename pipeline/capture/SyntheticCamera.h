#pragma once
// A camera without hardware: a moving test pattern at a chosen size, rate and pixel format,
// behind the same interface as V4L2. Also a scriptable backend for device lists, permission
// answers and open failures.
#include "pipeline/capture/CaptureDevice.h"

#include <QImage>

#include <mutex>
#include <optional>

namespace ostrela::capture {

// The pattern: the upper three quarters hold eight vertical bars of kTestPatternBars (left to
// right); the lower quarter is black with a white square of side height/4 whose left edge is at
// testPatternSquareX(width, height, frameIndex).
struct PatternColor { uint8_t r, g, b; };
inline constexpr PatternColor kTestPatternBars[8] = {
    {255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0},
};
int testPatternSquareX(int width, int height, uint64_t frameIndex);
// Draws frame `frameIndex` of the pattern into BGRA memory.
void renderTestPattern(uint8_t* bgra, int width, int height, int stride, uint64_t frameIndex);
// The same for the rows from testPatternBarsBottom(height) down, the only ones that move.
int testPatternBarsBottom(int height);
void renderTestPatternSquareRows(uint8_t* bgra, int width, int height, int stride, uint64_t frameIndex);

// Encodes a BGRA picture in `pixelFormat` (YUYV, NV12, MJPEG or BGRA); empty on failure.
// `stride` receives the first plane's row length (0 for MJPEG).
std::vector<uint8_t> encodeBGRA(const uint8_t* bgra, int width, int height, int bgraStride, uint32_t pixelFormat,
                                int* stride, int jpegQuality = 90);

struct SyntheticCameraSpec {
    QString localizedName = QStringLiteral("Synthetic Camera");
    QString uniqueID = QStringLiteral("synthetic-0");
    std::vector<CaptureFormat> formats = {{kPixelFormatYUYV, 1280, 720, 30}};
    // Set to make opening this camera fail with that description.
    QString openError;
    // Set to make starting the stream fail with that description.
    QString startError;
};

class SyntheticCaptureBackend : public CaptureBackend {
public:
    explicit SyntheticCaptureBackend(std::vector<SyntheticCameraSpec> cameras = {SyntheticCameraSpec{}});

    // Scripting, safe from any thread.
    void setAuthorization(CaptureAuthorization status);
    void setAccessAnswer(bool granted);  // what requestAccess answers (and becomes the status)
    void setCameras(std::vector<SyntheticCameraSpec> cameras);

    // What happened, for tests.
    int openCount() const;
    QString lastOpenedID() const;
    std::optional<CaptureFormat> lastActiveFormat() const;
    int runningStreams() const;

    CaptureAuthorization authorizationStatus() override;
    void requestAccess(std::function<void(bool)> completion) override;
    std::vector<CaptureDeviceInfo> discoverDevices() override;
    std::unique_ptr<CaptureStream> openDevice(const CaptureDeviceInfo& device, QString* errorDescription) override;

private:
    friend class SyntheticStream;
    mutable std::mutex mutex_;
    std::vector<SyntheticCameraSpec> cameras_;
    CaptureAuthorization status_ = CaptureAuthorization::authorized;
    bool accessAnswer_ = true;
    int openCount_ = 0;
    QString lastOpenedID_;
    std::optional<CaptureFormat> lastActiveFormat_;
    std::shared_ptr<std::atomic<int>> running_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace ostrela::capture
