#pragma once
// The camera-capture service the engine works on: device discovery, authorization, opening a
// device with a chosen format and streaming its frames. The real implementation is V4L2
// (V4L2Backend.h); SyntheticCamera.h provides a test-pattern camera for runs without hardware.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace ostrela::capture {

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | (uint32_t(uint8_t(b)) << 8) | (uint32_t(uint8_t(c)) << 16) |
           (uint32_t(uint8_t(d)) << 24);
}

// Pixel formats the converter understands (V4L2 four-character codes).
inline constexpr uint32_t kPixelFormatYUYV = fourcc('Y', 'U', 'Y', 'V');
inline constexpr uint32_t kPixelFormatMJPEG = fourcc('M', 'J', 'P', 'G');
inline constexpr uint32_t kPixelFormatJPEG = fourcc('J', 'P', 'E', 'G');
inline constexpr uint32_t kPixelFormatNV12 = fourcc('N', 'V', '1', '2');
// Memory order B, G, R, A (what QImage::Format_ARGB32 and libyuv "ARGB" hold on little endian).
inline constexpr uint32_t kPixelFormatBGRA = fourcc('B', 'G', 'R', 'A');

bool isSupportedPixelFormat(uint32_t pixelFormat);
QString pixelFormatName(uint32_t pixelFormat);

struct CaptureFormat {
    uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    double maxFrameRate = 0;  // 0 when the device does not say
    // Platform video effects baked into a format; no Linux driver has them, so always false there.
    bool supportsPortraitEffect = false;
    bool supportsStudioLight = false;
    bool supportsReactionEffects = false;
    bool supportsBackgroundReplacement = false;
    bool operator==(const CaptureFormat&) const = default;
};

struct CaptureDeviceInfo {
    QString localizedName;
    QString uniqueID;  // stable across replugging and reboots
    QString path;      // how the backend opens it (a device node for V4L2)
    std::vector<CaptureFormat> formats;
};

// One captured picture as the device delivered it. Only valid during the callback.
struct RawFrame {
    uint32_t pixelFormat = 0;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes per row of the first plane; unused for MJPEG
    const uint8_t* data = nullptr;
    size_t size = 0;
    uint64_t sequence = 0;
};

// Runs on the stream's own capture thread, one frame at a time.
using FrameCallback = std::function<void(const RawFrame&)>;

// An opened device: the session's single input and output.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Selects the format to stream. False when the device refuses (it then keeps its current one).
    virtual bool setActiveFormat(const CaptureFormat& format) = 0;
    // Starts streaming; blocks until it runs. On failure returns false and describes why.
    virtual bool start(FrameCallback callback, QString* errorDescription) = 0;
    // Stops streaming; no callback runs once this returns. Safe to call twice.
    virtual void stop() = 0;
};

enum class CaptureAuthorization { notDetermined, restricted, denied, authorized };

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;
    virtual CaptureAuthorization authorizationStatus() = 0;
    // Asks the user; `completion` runs once, on any thread. Backends without a prompt answer at once.
    virtual void requestAccess(std::function<void(bool granted)> completion) { completion(false); }
    // Every video capture device, virtual ones included, in the platform's order.
    virtual std::vector<CaptureDeviceInfo> discoverDevices() = 0;
    // Opens the device for capture (the "device input"); null with a description on failure.
    virtual std::unique_ptr<CaptureStream> openDevice(const CaptureDeviceInfo& device,
                                                      QString* errorDescription) = 0;
};

}  // namespace ostrela::capture
