#include "extension/camera/CameraProgram.h"
#include "extension/camera/FrameSinks.h"
#include "extension/camera/PixelConvert.h"
#include "pipeline/FrameBuffer.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>

#include <cmath>
#include <filesystem>
#include <unistd.h>

using namespace ostrela;
using namespace ostrela::camera;
namespace fs = std::filesystem;

namespace {

struct CapturingSink : FrameSink {
    std::vector<std::vector<uint8_t>> frames;
    bool write(const uint8_t* bgra) override {
        frames.emplace_back(bgra, bgra + kFrameBytes);
        return true;
    }
};

void fill(uint8_t* frame, uint8_t b, uint8_t g, uint8_t r) {
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        frame[i] = b; frame[i + 1] = g; frame[i + 2] = r; frame[i + 3] = 255;
    }
}

bool isSolid(const std::vector<uint8_t>& f, uint8_t b, uint8_t g, uint8_t r) {
    for (size_t i = 0; i < kFrameBytes; i += 4 * 997)
        if (f[i] != b || f[i + 1] != g || f[i + 2] != r || f[i + 3] != 255) return false;
    return true;
}

class CameraProgramTest : public ::testing::Test {
protected:
    test::ScopedTestEnv env;
    CapturingSink sink;
};

TEST_F(CameraProgramTest, ShowsIdleStillBeforeTheFirstFrameAndTakesEachNewGeneration) {
    CameraProgram program(sink, {});
    double now = wallClockSeconds();
    ASSERT_TRUE(program.step(now, true));
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0], idlePicture());

    uint8_t* buffer = openFrameBuffer(true);
    ASSERT_NE(buffer, nullptr);
    fill(buffer, 10, 20, 30);
    ASSERT_TRUE(writeFrameState(FrameState{1, now}));
    ASSERT_TRUE(program.step(now + 0.01, false));  // a new generation is written at once
    ASSERT_EQ(sink.frames.size(), 2u);
    EXPECT_TRUE(isSolid(sink.frames[1], 10, 20, 30));
    EXPECT_EQ(program.stats().lastGeneration, 1u);

    ASSERT_TRUE(program.step(now + 0.02, false));  // nothing new, no repeat due: nothing written
    EXPECT_EQ(sink.frames.size(), 2u);
    ASSERT_TRUE(program.step(now + 0.05, true));  // repeat of the last live frame
    ASSERT_EQ(sink.frames.size(), 3u);
    EXPECT_TRUE(isSolid(sink.frames[2], 10, 20, 30));

    fill(buffer, 200, 100, 50);
    ASSERT_TRUE(writeFrameState(FrameState{2, now + 0.06}));
    ASSERT_TRUE(program.step(now + 0.07, false));
    EXPECT_TRUE(isSolid(sink.frames.back(), 200, 100, 50));
    EXPECT_EQ(program.stats().liveFrames, 2);
}

TEST_F(CameraProgramTest, GoesIdleWhenPublishingStopsForMoreThanASecond) {
    CameraProgram program(sink, {});
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 1, 2, 3);
    double now = wallClockSeconds();
    writeFrameState(FrameState{7, now});
    program.step(now, true);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 2, 3));
    program.step(now + 0.9, true);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 2, 3));
    program.step(now + 1.2, true);
    EXPECT_EQ(sink.frames.back(), idlePicture());
    // Publishing resumes: live again at once.
    writeFrameState(FrameState{8, now + 1.3});
    program.step(now + 1.3, false);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 2, 3));
}

TEST_F(CameraProgramTest, ARecordLeftByAnEarlierRunIsNotLive) {
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 9, 9, 9);
    double now = wallClockSeconds();
    writeFrameState(FrameState{500, now - 3600});
    CameraProgram program(sink, {});
    program.step(now, true);
    EXPECT_EQ(sink.frames.back(), idlePicture());
    writeFrameState(FrameState{1, now + 0.1});  // a new run starts again at 1
    program.step(now + 0.1, false);
    EXPECT_TRUE(isSolid(sink.frames.back(), 9, 9, 9));
}

TEST_F(CameraProgramTest, SurvivesTheBufferBeingRecreatedOrShrunk) {
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 5, 5, 5);
    double now = wallClockSeconds();
    writeFrameState(FrameState{1, now});
    CameraProgram program(sink, {});
    program.step(now, true);
    EXPECT_TRUE(isSolid(sink.frames.back(), 5, 5, 5));

    // A new file in its place (another writer started): the reader follows it.
    std::string path = env.containerDir() + "/frame.raw";
    fs::remove(path);
    uint8_t* fresh = openFrameBuffer(true);
    ASSERT_NE(fresh, nullptr);
    fill(fresh, 77, 66, 55);
    writeFrameState(FrameState{2, now + 0.1});
    program.step(now + 0.1, false);
    EXPECT_TRUE(isSolid(sink.frames.back(), 77, 66, 55));

    // Cut short underneath a live mapping: no crash, the frame is simply not taken.
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    writeFrameState(FrameState{3, now + 0.2});
    size_t before = sink.frames.size();
    EXPECT_TRUE(program.step(now + 0.2, true));
    EXPECT_EQ(sink.frames.size(), before + 1);  // the last good picture is repeated
    EXPECT_TRUE(isSolid(sink.frames.back(), 77, 66, 55));

    // Torn or foreign state files are ignored.
    test::writeFile(env.containerDir() + "/frame_state.bin", std::string(9, '\x01'));
    EXPECT_FALSE(FrameReader().state().has_value());
    EXPECT_TRUE(program.step(now + 0.3, true));
}

TEST(LoopbackDevices, NoneLabelledOstrelaMeansEmpty) {
    QTemporaryDir dir;
    EXPECT_EQ(findOstrelaLoopbackDevice(dir.path().toStdString()), "");
    EXPECT_TRUE(listVideoDevices(dir.path().toStdString()).empty());
}

TEST(CameraProgramCli, ExitsWithOneLineWhenNoLoopbackDeviceIsThere) {
    if (!findOstrelaLoopbackDevice().empty()) GTEST_SKIP() << "this machine has an Ostrela camera";
    std::string out;
    // No PipeWire daemon either: its runtime directory is empty.
    QTemporaryDir runtime;
    int rc = test::runCommand("PIPEWIRE_RUNTIME_DIR='" + runtime.path().toStdString() + "' '" +
                                  test::programPath("ostrela-camera") + "' 2>&1",
                              &out);
    EXPECT_EQ(rc, 1);
    const std::string start =
        "ostrela-camera: no v4l2loopback device labelled \"Ostrela\" was found (load it with: sudo modprobe "
        "v4l2loopback card_label=\"Ostrela\" exclusive_caps=1), and the PipeWire output is not available (";
    EXPECT_EQ(out.substr(0, start.size()), start) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

// Expected BT.601 limited-range luma of an sRGB colour.
double luma(double r, double g, double b) { return 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0; }

TEST(PixelConvert, YuyvAndI420CarryTheRightLumaAndChroma) {
    std::vector<uint8_t> frame(kFrameBytes);
    // Left half pure red, right half pure blue.
    for (int y = 0; y < kFrameHeight; ++y)
        for (int x = 0; x < kFrameWidth; ++x) {
            uint8_t* p = frame.data() + size_t(y) * kFrameStride + size_t(x) * 4;
            bool red = x < kFrameWidth / 2;
            p[0] = red ? 0 : 255; p[1] = 0; p[2] = red ? 255 : 0; p[3] = 255;
        }
    std::vector<uint8_t> yuyv(size_t(kFrameWidth) * kFrameHeight * 2);
    bgraToYuyv(frame.data(), kFrameStride, yuyv.data(), kFrameWidth * 2, kFrameWidth, kFrameHeight);
    // Red: Y 81, U 90, V 240. Blue: Y 41, U 240, V 110.
    const uint8_t* r = yuyv.data() + 100 * kFrameWidth * 2 + 200 * 2;
    EXPECT_NEAR(r[0], luma(255, 0, 0), 2); EXPECT_NEAR(r[1], 90, 2); EXPECT_NEAR(r[3], 240, 2);
    const uint8_t* b = yuyv.data() + 600 * kFrameWidth * 2 + 1000 * 2;
    EXPECT_NEAR(b[0], luma(0, 0, 255), 2); EXPECT_NEAR(b[1], 240, 2); EXPECT_NEAR(b[3], 110, 2);

    std::vector<uint8_t> i420(size_t(i420Size(kFrameWidth, kFrameHeight)));
    bgraToI420(frame.data(), kFrameStride, i420.data(), kFrameWidth, kFrameHeight);
    const uint8_t* U = i420.data() + kFrameWidth * kFrameHeight;
    const uint8_t* V = U + (kFrameWidth / 2) * (kFrameHeight / 2);
    EXPECT_NEAR(i420[100 * kFrameWidth + 200], 81, 2);
    EXPECT_NEAR(U[50 * 640 + 100], 90, 2);
    EXPECT_NEAR(V[50 * 640 + 100], 240, 2);
    EXPECT_NEAR(i420[600 * kFrameWidth + 1000], 41, 2);
    EXPECT_NEAR(U[300 * 640 + 500], 240, 2);
    EXPECT_NEAR(V[300 * 640 + 500], 110, 2);
}

TEST_F(CameraProgramTest, Y4mStreamIsAcceptedByFfprobeWithTheRightPixels) {
    if (test::runCommand("command -v ffprobe >/dev/null && command -v ffmpeg >/dev/null") != 0)
        GTEST_SKIP() << "ffmpeg is not installed";
    std::string out = env.root() + "/out.y4m";
    {
        Y4mSink y4m(out, 30);
        ASSERT_TRUE(y4m.ok());
        std::vector<uint8_t> frame(kFrameBytes);
        const uint8_t colours[3][3] = {{255, 255, 255}, {200, 40, 10}, {0, 0, 0}};  // RGB
        for (auto& c : colours) {
            fill(frame.data(), c[2], c[1], c[0]);
            ASSERT_TRUE(y4m.write(frame.data()));
        }
    }
    std::string probe;
    ASSERT_EQ(test::runCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                               "stream=width,height,pix_fmt,nb_read_frames -of default=nw=1 '" + out + "'", &probe), 0);
    EXPECT_EQ(probe, "width=1280\nheight=720\npix_fmt=yuv420p\nnb_read_frames=3\n");

    std::string rgb;
    ASSERT_EQ(test::runCommand("ffmpeg -v error -i '" + out + "' -f rawvideo -pix_fmt rgb24 -", &rgb), 0);
    ASSERT_EQ(rgb.size(), size_t(3) * 1280 * 720 * 3);
    auto at = [&](int frame, int x, int y, int c) {
        return int(uint8_t(rgb[(size_t(frame) * 1280 * 720 + size_t(y) * 1280 + size_t(x)) * 3 + size_t(c)]));
    };
    const int expected[3][3] = {{255, 255, 255}, {200, 40, 10}, {0, 0, 0}};
    for (int f = 0; f < 3; ++f)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(at(f, 640, 360, c), expected[f][c], 4) << "frame " << f << " channel " << c;
}

TEST_F(CameraProgramTest, EndToEndFromTheTestWriterThroughTheCameraProgram) {
    if (test::runCommand("command -v ffprobe >/dev/null") != 0) GTEST_SKIP() << "ffprobe is not installed";
    std::string envs = "OSTRELA_CONTAINER_DIR='" + env.containerDir() + "' QT_QPA_PLATFORM=offscreen ";
    std::string out = env.root() + "/e2e.y4m";
    std::string cmd = "(" + envs + "'" + test::programPath("ostrela-testframes") + "' --frames 45 --fps 30) & sleep 0.5; " +
                      envs + "'" + test::programPath("ostrela-camera") + "' --y4m '" + out + "' --frames 20 2>/dev/null; rc=$?; wait; exit $rc";
    ASSERT_EQ(test::runCommand(cmd), 0);
    std::string probe;
    ASSERT_EQ(test::runCommand("ffprobe -v error -count_frames -show_entries stream=width,height,nb_read_frames "
                               "-of default=nw=1 '" + out + "'", &probe), 0);
    EXPECT_EQ(probe, "width=1280\nheight=720\nnb_read_frames=20\n");
    // The writer was live, so the stream carries bars, not the idle still: the frame's luma spans
    // from the black bar to the white one.
    std::string gray;
    ASSERT_EQ(test::runCommand("ffmpeg -v error -i '" + out + "' -vf select='eq(n\\,19)' -frames:v 1 -f rawvideo -pix_fmt gray -", &gray), 0);
    ASSERT_EQ(gray.size(), size_t(1280) * 720);
    int lo = 255, hi = 0;
    for (int x = 0; x < 1280; ++x) {
        int v = uint8_t(gray[size_t(600) * 1280 + size_t(x)]);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    EXPECT_LE(lo, 5);
    EXPECT_GE(hi, 250);
}

}  // namespace
