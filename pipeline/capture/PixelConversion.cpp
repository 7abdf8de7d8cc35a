#include "pipeline/capture/PixelConversion.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <turbojpeg.h>

namespace ostrela::capture {

bool isSupportedPixelFormat(uint32_t f) {
    return f == kPixelFormatYUYV || f == kPixelFormatMJPEG || f == kPixelFormatJPEG || f == kPixelFormatNV12 ||
           f == kPixelFormatBGRA;
}

QString pixelFormatName(uint32_t f) {
    QString s;
    for (int i = 0; i < 4; ++i) {
        char c = char((f >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? QChar(c) : QChar('?');
    }
    return s.trimmed();
}

FrameConverter::FrameConverter() = default;

FrameConverter::~FrameConverter() {
    if (jpeg_) tjDestroy(static_cast<tjhandle>(jpeg_));
}

bool FrameConverter::prepare(QImage& dst, int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxCaptureSide || height > kMaxCaptureSide) return false;
    if (dst.width() != width || dst.height() != height || dst.format() != kCameraImageFormat || !dst.isDetached())
        dst = QImage(width, height, kCameraImageFormat);
    return !dst.isNull();
}

bool FrameConverter::convert(const RawFrame& f, QImage& dst) {
    if (!f.data) return false;
    const int w = f.width, h = f.height;
    switch (f.pixelFormat) {
    case kPixelFormatYUYV: {
        if (w <= 0 || h <= 0 || f.stride < w * 2 || f.size < size_t(f.stride) * size_t(h)) return false;
        if (!prepare(dst, w, h)) return false;
        return libyuv::YUY2ToARGB(f.data, f.stride, dst.bits(), int(dst.bytesPerLine()), w, h) == 0;
    }
    case kPixelFormatNV12: {
        if (w <= 0 || h <= 0 || f.stride < w) return false;
        const size_t ySize = size_t(f.stride) * size_t(h);
        const size_t uvSize = size_t(f.stride) * size_t((h + 1) / 2);
        if (f.size < ySize + uvSize) return false;
        if (!prepare(dst, w, h)) return false;
        return libyuv::NV12ToARGB(f.data, f.stride, f.data + ySize, f.stride, dst.bits(), int(dst.bytesPerLine()), w,
                                  h) == 0;
    }
    case kPixelFormatBGRA: {
        if (w <= 0 || h <= 0 || f.stride < w * 4 || f.size < size_t(f.stride) * size_t(h)) return false;
        if (!prepare(dst, w, h)) return false;
        libyuv::ARGBCopy(f.data, f.stride, dst.bits(), int(dst.bytesPerLine()), w, h);
        return true;
    }
    case kPixelFormatMJPEG:
    case kPixelFormatJPEG: {
        if (f.size < 4 || f.size > size_t(INT32_MAX)) return false;
        if (!jpeg_) jpeg_ = tjInitDecompress();
        auto tj = static_cast<tjhandle>(jpeg_);
        if (!tj) return false;
        int jw = 0, jh = 0, subsamp = 0, colorspace = 0;
        // The header decides the size: some cameras report one size and send another.
        if (tjDecompressHeader3(tj, f.data, static_cast<unsigned long>(f.size), &jw, &jh, &subsamp, &colorspace) != 0)
            return false;
        if (!prepare(dst, jw, jh)) return false;
        int rc = tjDecompress2(tj, f.data, static_cast<unsigned long>(f.size), dst.bits(), jw, int(dst.bytesPerLine()),
                               jh, TJPF_BGRA, TJFLAG_FASTDCT);
        // Warnings (stray bytes between markers, common in webcam MJPEG) still give a full picture.
        return rc == 0 || tjGetErrorCode(tj) == TJERR_WARNING;
    }
    default:
        return false;
    }
}

}  // namespace ostrela::capture
