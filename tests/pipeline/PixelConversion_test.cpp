#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/capture/PixelConversion.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <vector>

using namespace ostrela;
using namespace ostrela::capture;

namespace {

struct Rgb { int r, g, b; };

// BT.601 video-range codes of the primaries and neutrals, as webcams send them.
struct YuvColor { uint8_t y, u, v; Rgb expected; };
const YuvColor kYuvColors[] = {
    {235, 128, 128, {255, 255, 255}},
    {16, 128, 128, {0, 0, 0}},
    {81, 90, 240, {255, 0, 0}},
    {145, 54, 34, {0, 255, 0}},
    {41, 240, 110, {0, 0, 255}},
    {126, 128, 128, {128, 128, 128}},
};

Rgb pixelAt(const QImage& img, int x, int y) {
    const uint8_t* p = img.constScanLine(y) + x * 4;
    return {p[2], p[1], p[0]};
}

void expectNear(Rgb got, Rgb want, int tol, const char* what) {
    EXPECT_NEAR(got.r, want.r, tol) << what;
    EXPECT_NEAR(got.g, want.g, tol) << what;
    EXPECT_NEAR(got.b, want.b, tol) << what;
}

}  // namespace

TEST(PixelConversion, YuyvColoursBecomeTheirRgbValues) {
    // One 16-pixel-wide column block per colour, 4 rows high, rows padded to a wider stride.
    const int n = int(std::size(kYuvColors));
    const int w = 16 * n, h = 4, stride = w * 2 + 32;
    std::vector<uint8_t> buf(size_t(stride) * h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
            const YuvColor& c = kYuvColors[x / 16];
            uint8_t* p = &buf[size_t(y) * stride + size_t(x) * 2];
            p[0] = c.y; p[1] = c.u; p[2] = c.y; p[3] = c.v;
        }
    FrameConverter conv;
    QImage out;
    ASSERT_TRUE(conv.convert({kPixelFormatYUYV, w, h, stride, buf.data(), buf.size(), 0}, out));
    ASSERT_EQ(out.size(), QSize(w, h));
    EXPECT_EQ(out.format(), kCameraImageFormat);
    for (int i = 0; i < n; ++i) {
        expectNear(pixelAt(out, i * 16 + 8, 2), kYuvColors[i].expected, 4, "yuyv");
        EXPECT_EQ(out.constScanLine(2)[(i * 16 + 8) * 4 + 3], 255);
    }
}

TEST(PixelConversion, Nv12ColoursBecomeTheirRgbValues) {
    const int n = int(std::size(kYuvColors));
    const int w = 16 * n, h = 8, stride = w + 16;
    std::vector<uint8_t> buf(size_t(stride) * h + size_t(stride) * (h / 2), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) buf[size_t(y) * stride + x] = kYuvColors[x / 16].y;
    uint8_t* uv = buf.data() + size_t(stride) * h;
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w; x += 2) {
            uv[size_t(y) * stride + x] = kYuvColors[x / 16].u;
            uv[size_t(y) * stride + x + 1] = kYuvColors[x / 16].v;
        }
    FrameConverter conv;
    QImage out;
    ASSERT_TRUE(conv.convert({kPixelFormatNV12, w, h, stride, buf.data(), buf.size(), 0}, out));
    for (int i = 0; i < n; ++i) expectNear(pixelAt(out, i * 16 + 8, 4), kYuvColors[i].expected, 4, "nv12");
}

TEST(PixelConversion, MjpegDecodesToTheEncodedColours) {
    // Quadrants red, green, blue, grey, encoded by libjpeg-turbo here rather than by our code.
    const int w = 320, h = 240;
    const Rgb quad[4] = {{220, 30, 30}, {30, 200, 40}, {20, 40, 210}, {128, 128, 128}};
    std::vector<uint8_t> bgra(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const Rgb& c = quad[(y >= h / 2) * 2 + (x >= w / 2)];
            uint8_t* p = &bgra[(size_t(y) * w + x) * 4];
            p[0] = uint8_t(c.b); p[1] = uint8_t(c.g); p[2] = uint8_t(c.r); p[3] = 255;
        }
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    ASSERT_EQ(tjCompress2(tj, bgra.data(), w, w * 4, h, TJPF_BGRA, &jpeg, &size, TJSAMP_422, 92, 0), 0);
    std::vector<uint8_t> data(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(tj);

    FrameConverter conv;
    QImage out;
    // The JPEG header wins over a wrong size reported by the device.
    ASSERT_TRUE(conv.convert({kPixelFormatMJPEG, 1280, 720, 0, data.data(), data.size(), 0}, out));
    ASSERT_EQ(out.size(), QSize(w, h));
    expectNear(pixelAt(out, w / 4, h / 4), quad[0], 6, "top left");
    expectNear(pixelAt(out, 3 * w / 4, h / 4), quad[1], 6, "top right");
    expectNear(pixelAt(out, w / 4, 3 * h / 4), quad[2], 6, "bottom left");
    expectNear(pixelAt(out, 3 * w / 4, 3 * h / 4), quad[3], 6, "bottom right");
    EXPECT_EQ(out.constScanLine(10)[10 * 4 + 3], 255);

    // Truncated data must not crash; garbage is refused.
    QImage cut;
    (void)conv.convert({kPixelFormatMJPEG, w, h, 0, data.data(), data.size() / 2, 0}, cut);
    std::vector<uint8_t> junk(4096);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 131 + 7);
    QImage bad;
    EXPECT_FALSE(conv.convert({kPixelFormatMJPEG, w, h, 0, junk.data(), junk.size(), 0}, bad));
}

TEST(PixelConversion, RefusesShortBuffersAndOddGeometry) {
    FrameConverter conv;
    QImage out;
    std::vector<uint8_t> buf(1280 * 2 * 720);
    EXPECT_FALSE(conv.convert({kPixelFormatYUYV, 1280, 720, 2560, buf.data(), buf.size() - 1, 0}, out));
    EXPECT_FALSE(conv.convert({kPixelFormatYUYV, 1280, 720, 100, buf.data(), buf.size(), 0}, out));
    EXPECT_FALSE(conv.convert({kPixelFormatYUYV, 0, 720, 2560, buf.data(), buf.size(), 0}, out));
    EXPECT_FALSE(conv.convert({kPixelFormatYUYV, 100000, 1, 200000, buf.data(), buf.size(), 0}, out));
    EXPECT_FALSE(conv.convert({kPixelFormatNV12, 1280, 720, 1280, buf.data(), 1280 * 720, 0}, out));
    EXPECT_FALSE(conv.convert({fourcc('H', '2', '6', '4'), 1280, 720, 0, buf.data(), buf.size(), 0}, out));
    EXPECT_FALSE(conv.convert({kPixelFormatYUYV, 1280, 720, 2560, nullptr, buf.size(), 0}, out));
    EXPECT_TRUE(out.isNull());
}

TEST(PixelConversion, ReusesTheDestinationFromFrameToFrame) {
    FrameConverter conv;
    QImage out;
    std::vector<uint8_t> buf(64 * 2 * 48, 128);
    ASSERT_TRUE(conv.convert({kPixelFormatYUYV, 64, 48, 128, buf.data(), buf.size(), 0}, out));
    const uchar* first = out.constBits();
    ASSERT_TRUE(conv.convert({kPixelFormatYUYV, 64, 48, 128, buf.data(), buf.size(), 1}, out));
    EXPECT_EQ(out.constBits(), first);
    // A copy still held elsewhere is never written over.
    QImage held = out;
    ASSERT_TRUE(conv.convert({kPixelFormatYUYV, 64, 48, 128, buf.data(), buf.size(), 2}, out));
    EXPECT_NE(out.constBits(), held.constBits());
}

TEST(FittedFrame, AspectFillsAndCentres) {
    std::vector<uint8_t> dst(kFrameBytes, 0);
    auto at = [&](int x, int y) {
        const uint8_t* p = &dst[size_t(y) * kFrameStride + size_t(x) * 4];
        return Rgb{p[2], p[1], p[0]};
    };
    // 16:9 at 1920×1080: left half red, right half blue → the split lands at x = 640.
    QImage wide(1920, 1080, QImage::Format_RGB32);
    wide.fill(QColor(0, 0, 255));
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 960; ++x) wide.setPixel(x, y, qRgb(255, 0, 0));
    CameraEngine::renderFittedFrame(wide, nullptr, 0, dst.data());
    expectNear(at(636, 360), {255, 0, 0}, 2, "left of split");
    expectNear(at(644, 360), {0, 0, 255}, 2, "right of split");
    EXPECT_EQ(dst[3], 255);

    // 4:3 at 640×480: scaled by 2 to 1280×960, the centre 720 rows show, so source rows 60..419.
    // Rows above 60 are green, a red band sits at 60..69, the rest is blue.
    QImage four(640, 480, QImage::Format_ARGB32_Premultiplied);
    four.fill(QColor(0, 0, 255));
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 640; ++x) four.setPixel(x, y, y < 60 ? qRgb(0, 255, 0) : qRgb(255, 0, 0));
    CameraEngine::renderFittedFrame(four, nullptr, 0, dst.data());
    expectNear(at(640, 2), {255, 0, 0}, 3, "top row is the first kept source row");
    expectNear(at(640, 30), {0, 0, 255}, 3, "below the band");
    expectNear(at(5, 715), {0, 0, 255}, 3, "bottom");

    // A video frame, when given, is what is shown.
    QImage video(1280, 720, QImage::Format_ARGB32);
    video.fill(QColor(10, 200, 30));
    CameraEngine::renderFittedFrame(four, &video, 0, dst.data());
    expectNear(at(100, 100), {10, 200, 30}, 0, "video");
    expectNear(at(1279, 719), {10, 200, 30}, 0, "video corner");
}
