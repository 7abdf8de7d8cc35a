#pragma once
// Turns captured frames into BGRA images: YUYV and NV12 through libyuv (BT.601 video range, what
// webcams send), MJPEG through libjpeg-turbo. All paths are SIMD and allocation-free once the
// destination has the right size.
#include "pipeline/capture/CaptureDevice.h"

#include <QImage>

namespace ostrela::capture {

// The image format every converted frame has: B, G, R, A in memory, alpha 255.
inline constexpr QImage::Format kCameraImageFormat = QImage::Format_ARGB32_Premultiplied;

class FrameConverter {
public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Converts `frame` into `dst`, reusing dst's memory when it is unshared and of the right size.
    // False (dst untouched or partly written) for unsupported formats, short buffers, odd
    // geometry or undecodable JPEG data.
    bool convert(const RawFrame& frame, QImage& dst);

private:
    bool prepare(QImage& dst, int width, int height);
    void* jpeg_ = nullptr;  // tjhandle, created on first MJPEG frame
};

// Largest picture side accepted from a device; anything above is treated as corrupt.
inline constexpr int kMaxCaptureSide = 8192;

}  // namespace ostrela::capture
