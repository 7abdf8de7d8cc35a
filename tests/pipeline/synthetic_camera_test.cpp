#include "pipeline/capture/SyntheticCamera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace ostrela::capture;

namespace {

// The first `count` frames the synthetic camera delivers in `format`, as bytes.
std::vector<std::vector<uint8_t>> firstFrames(const CaptureFormat& format, size_t count, std::vector<int>* strides) {
    SyntheticCameraSpec spec;
    spec.formats = {format};
    SyntheticCaptureBackend backend({spec});
    auto devices = backend.discoverDevices();
    EXPECT_EQ(devices.size(), 1u);
    QString error;
    auto stream = backend.openDevice(devices.at(0), &error);
    EXPECT_TRUE(stream) << error.toStdString();
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> frames;
    stream->setActiveFormat(format);
    EXPECT_TRUE(stream->start(
        [&](const RawFrame& f) {
            std::lock_guard lock(m);
            if (frames.size() >= count) return;
            EXPECT_EQ(f.sequence, frames.size());
            frames.emplace_back(f.data, f.data + f.size);
            strides->push_back(f.stride);
            cv.notify_all();
        },
        &error));
    std::unique_lock lock(m);
    cv.wait_for(lock, std::chrono::seconds(10), [&] { return frames.size() >= count; });
    lock.unlock();
    stream->stop();
    return frames;
}

}  // namespace

TEST(SyntheticCamera, EveryFrameIsThePatternOfItsIndexEncodedWhole) {
    // Only the moving rows are drawn and encoded again from frame to frame: each frame must still
    // be the whole pattern of its index, encoded in one go, byte for byte.
    struct Case { uint32_t format; int w, h; };
    for (Case c : {Case{kPixelFormatYUYV, 1280, 720}, Case{kPixelFormatYUYV, 321, 241}, Case{kPixelFormatBGRA, 320, 180},
                   Case{kPixelFormatNV12, 64, 48}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " format " + std::to_string(c.format));
        std::vector<int> strides;
        const auto frames = firstFrames({c.format, c.w, c.h, 240}, 6, &strides);
        ASSERT_EQ(frames.size(), 6u);
        std::vector<uint8_t> bgra(size_t(c.w) * 4 * c.h);
        for (size_t i = 0; i < frames.size(); ++i) {
            renderTestPattern(bgra.data(), c.w, c.h, c.w * 4, i);
            int stride = 0;
            const std::vector<uint8_t> whole = encodeBGRA(bgra.data(), c.w, c.h, c.w * 4, c.format, &stride);
            EXPECT_EQ(strides[i], stride) << i;
            EXPECT_TRUE(frames[i] == whole) << "frame " << i;
        }
        // The square moved between the frames.
        EXPECT_FALSE(frames[0] == frames[1]);
    }
}

TEST(SyntheticCamera, PatternRowsAreBarsAboveAndTheMovingSquareBelow) {
    const int w = 160, h = 120;
    std::vector<uint32_t> px(size_t(w) * h, 0x12345678u);
    renderTestPattern(reinterpret_cast<uint8_t*>(px.data()), w, h, w * 4, 3);
    EXPECT_EQ(testPatternBarsBottom(h), 90);
    for (int y : {0, 45, 89})
        for (int bar = 0; bar < 8; ++bar) {
            const PatternColor& c = kTestPatternBars[bar];
            EXPECT_EQ(px[size_t(y) * w + bar * 20 + 10], 0xFF000000u | (uint32_t(c.r) << 16) | (uint32_t(c.g) << 8) | c.b);
        }
    const int sx = testPatternSquareX(w, h, 3);
    EXPECT_EQ(sx, 24);
    EXPECT_EQ(px[size_t(95) * w + sx], 0xFFFFFFFFu);
    EXPECT_EQ(px[size_t(95) * w + sx + 29], 0xFFFFFFFFu);
    EXPECT_EQ(px[size_t(95) * w + sx + 30], 0xFF000000u);
    EXPECT_EQ(px[size_t(95) * w + sx - 1], 0xFF000000u);
    EXPECT_EQ(px[size_t(119) * w + sx], 0xFFFFFFFFu);
    // Redrawing the moving rows for another frame leaves the bars and moves the square.
    renderTestPatternSquareRows(reinterpret_cast<uint8_t*>(px.data()), w, h, w * 4, 4);
    EXPECT_EQ(px[size_t(95) * w + sx], 0xFF000000u);
    EXPECT_EQ(px[size_t(95) * w + sx + 8], 0xFFFFFFFFu);
    EXPECT_EQ(px[size_t(0) * w + 10], 0xFFFFFFFFu);
}
