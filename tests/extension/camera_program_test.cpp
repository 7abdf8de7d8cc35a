#include "extension/camera/CameraProgram.h"
#include "extension/camera/CameraStatus.h"
#include "extension/camera/FrameSinks.h"
#include "extension/camera/PixelConvert.h"
#include "pipeline/FrameBuffer.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>

#include <cmath>
#include <filesystem>
#include <sys/wait.h>
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

TEST_F(CameraProgramTest, EachTickSendsOneFrameAndALiveFrameIsSentOnce) {
    CameraProgram program(sink, {});
    double now = wallClockSeconds();
    program.look(now);
    ASSERT_TRUE(program.tick(now));
    ASSERT_EQ(sink.frames.size(), 1u);
    EXPECT_EQ(sink.frames[0], idlePicture());  // before the first frame

    uint8_t* buffer = openFrameBuffer(true);
    ASSERT_NE(buffer, nullptr);
    fill(buffer, 10, 20, 30);
    ASSERT_TRUE(writeFrameState(FrameState{1, now}));
    program.look(now + 0.01);
    EXPECT_EQ(sink.frames.size(), 1u);  // taken, but sent only on the clock
    ASSERT_TRUE(program.tick(now + 0.033));
    ASSERT_EQ(sink.frames.size(), 2u);
    EXPECT_TRUE(isSolid(sink.frames[1], 10, 20, 30));
    EXPECT_EQ(program.stats().lastGeneration, 1u);

    // Nothing new: the next tick repeats it, counted as a repeat, not as live.
    program.look(now + 0.05);
    ASSERT_TRUE(program.tick(now + 0.066));
    ASSERT_EQ(sink.frames.size(), 3u);
    EXPECT_TRUE(isSolid(sink.frames[2], 10, 20, 30));
    EXPECT_EQ(program.stats().liveFrames, 1);
    EXPECT_EQ(program.stats().repeatFrames, 1);

    // Two frames between ticks: only the newest goes out, once.
    fill(buffer, 1, 1, 1);
    writeFrameState(FrameState{2, now + 0.07});
    program.look(now + 0.07);
    fill(buffer, 200, 100, 50);
    writeFrameState(FrameState{3, now + 0.08});
    program.look(now + 0.08);
    ASSERT_TRUE(program.tick(now + 0.1));
    EXPECT_TRUE(isSolid(sink.frames.back(), 200, 100, 50));
    EXPECT_EQ(program.stats().framesTaken, 3);
    EXPECT_EQ(program.stats().liveFrames, 2);
    EXPECT_EQ(program.stats().framesWritten, 4);
}

TEST_F(CameraProgramTest, GoesIdleWhenPublishingStopsForMoreThanASecond) {
    CameraProgram program(sink, {});
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 1, 2, 3);
    double now = wallClockSeconds();
    writeFrameState(FrameState{7, now});
    program.look(now);
    program.tick(now);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 2, 3));
    program.look(now + 0.9);
    program.tick(now + 0.9);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 2, 3));
    program.look(now + 1.2);
    program.tick(now + 1.2);
    EXPECT_EQ(sink.frames.back(), idlePicture());
    // Publishing resumes: live again at the next tick.
    writeFrameState(FrameState{8, now + 1.3});
    program.look(now + 1.3);
    program.tick(now + 1.33);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 2, 3));
}

TEST_F(CameraProgramTest, ARecordLeftByAnEarlierRunIsNotLive) {
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 9, 9, 9);
    double now = wallClockSeconds();
    writeFrameState(FrameState{500, now - 3600});
    CameraProgram program(sink, {});
    program.look(now);
    program.tick(now);
    EXPECT_EQ(sink.frames.back(), idlePicture());
    writeFrameState(FrameState{1, now + 0.1});  // a new run starts again at 1
    program.look(now + 0.1);
    program.tick(now + 0.1);
    EXPECT_TRUE(isSolid(sink.frames.back(), 9, 9, 9));
}

// The writer goes on announcing frames, but their pixels cannot be read: that is no frame at all,
// so the idle still follows a second later instead of the last picture forever.
TEST_F(CameraProgramTest, UnreadableFramesCountAsNoFrames) {
    for (const char* damage : {"removed", "short", "long"}) {
        SCOPED_TRACE(damage);
        test::ScopedTestEnv local;
        CapturingSink out;
        uint8_t* buffer = openFrameBuffer(true);
        ASSERT_NE(buffer, nullptr);
        fill(buffer, 5, 5, 5);
        double now = wallClockSeconds();
        writeFrameState(FrameState{1, now});
        CameraProgram program(out, {});
        program.look(now);
        program.tick(now);
        ASSERT_TRUE(isSolid(out.frames.back(), 5, 5, 5));

        const std::string path = local.containerDir() + "/frame.raw";
        if (std::string(damage) == "removed") fs::remove(path);
        else ASSERT_EQ(::truncate(path.c_str(), std::string(damage) == "short" ? 1000 : off_t(kFrameBytes) - 4), 0);
        for (int i = 1; i <= 40; ++i) {  // 1.3 s of frames at 30 fps
            const double t = now + i / 30.0;
            writeFrameState(FrameState{uint64_t(1 + i), t});
            program.look(t);
            ASSERT_TRUE(program.tick(t));
        }
        EXPECT_EQ(out.frames.back(), idlePicture());
        EXPECT_EQ(program.stats().framesTaken, 1);
        EXPECT_GE(program.stats().framesRejected, 40);
    }
}

TEST_F(CameraProgramTest, FollowsANewBufferFileAndARecreatedContainer) {
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 5, 5, 5);
    double now = wallClockSeconds();
    writeFrameState(FrameState{1, now});
    CameraProgram program(sink, {});
    program.look(now);
    program.tick(now);
    EXPECT_TRUE(isSolid(sink.frames.back(), 5, 5, 5));

    // Another writer put a new file in its place.
    const std::string dir = env.containerDir();
    fs::remove(dir + "/frame.raw");
    uint8_t* fresh = openFrameBuffer(true);
    ASSERT_NE(fresh, nullptr);
    fill(fresh, 77, 66, 55);
    writeFrameState(FrameState{2, now + 0.1});
    program.look(now + 0.1);
    program.tick(now + 0.1);
    EXPECT_TRUE(isSolid(sink.frames.back(), 77, 66, 55));

    // The whole container removed and made again by the writer's next frame.
    fs::remove_all(dir);
    ASSERT_TRUE(refreshFrameBuffer(fresh));
    EXPECT_EQ(fs::file_size(dir + "/frame.raw"), kFrameBytes);
    fill(fresh, 1, 99, 1);
    writeFrameState(FrameState{3, now + 0.2});
    program.look(now + 0.2);
    program.tick(now + 0.2);
    EXPECT_TRUE(isSolid(sink.frames.back(), 1, 99, 1));

    // Torn or foreign state files are ignored.
    test::writeFile(dir + "/frame_state.bin", std::string(9, '\x01'));
    EXPECT_FALSE(FrameReader().state().has_value());
    program.look(now + 0.3);
    EXPECT_TRUE(program.tick(now + 0.3));
}

// The writer overwrites the pixels in place: a copy is whole only when the record read after it is
// still the one that announced it.
TEST_F(CameraProgramTest, ACopyIsTakenOnlyWhileTheRecordStaysTheSame) {
    uint8_t* buffer = openFrameBuffer(true);
    fill(buffer, 3, 3, 3);
    const FrameState announced{4, wallClockSeconds()};
    writeFrameState(announced);
    FrameReader reader;
    std::vector<uint8_t> copy(kFrameBytes);
    EXPECT_TRUE(reader.copyFrame(copy.data(), announced));
    EXPECT_TRUE(isSolid(copy, 3, 3, 3));
    writeFrameState(FrameState{5, announced.timestamp + 0.03});  // the writer moved on meanwhile
    EXPECT_FALSE(reader.copyFrame(copy.data(), announced));
    writeFrameState(FrameState{4, announced.timestamp + 9});  // same number, another run
    EXPECT_FALSE(reader.copyFrame(copy.data(), announced));
}

// Nobody can take the writer down by cutting or replacing the file under its mapping.
TEST_F(CameraProgramTest, TheWriterSurvivesItsFileBeingCutOrReplaced) {
    uint8_t* buffer = openFrameBuffer(true);
    ASSERT_NE(buffer, nullptr);
    const std::string path = env.containerDir() + "/frame.raw";
    ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
    const uint64_t faults = frameBufferFaults(buffer);
    fill(buffer, 8, 8, 8);  // past the end of the file: absorbed, not SIGBUS; this frame is lost
    EXPECT_GT(frameBufferFaults(buffer), faults);
    EXPECT_EQ(buffer[kFrameBytes - 4], 8);

    // The next frame maps the file again at the same address, at its full length.
    ASSERT_TRUE(refreshFrameBuffer(buffer));
    EXPECT_EQ(fs::file_size(path), kFrameBytes);
    fill(buffer, 40, 50, 60);
    const std::string bytes = test::readFile(path);
    ASSERT_EQ(bytes.size(), kFrameBytes);
    EXPECT_TRUE(isSolid(std::vector<uint8_t>(bytes.begin(), bytes.end()), 40, 50, 60));

    // Replaced by a file of another size: the writer follows the path, not the old file.
    fs::remove(path);
    test::writeFile(path, std::string(100, 'x'));
    ASSERT_TRUE(refreshFrameBuffer(buffer));
    fill(buffer, 1, 2, 3);
    const std::string again = test::readFile(path);
    ASSERT_EQ(again.size(), kFrameBytes);
    EXPECT_TRUE(isSolid(std::vector<uint8_t>(again.begin(), again.end()), 1, 2, 3));

    // A reader in the same process (the preview) reads zeros, not a fault, while the file is short.
    uint8_t* reader = openFrameBuffer(false);
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    volatile uint8_t last = reader[kFrameBytes - 1];
    EXPECT_EQ(last, 0);
    EXPECT_FALSE(refreshFrameBuffer(reader));
    ASSERT_TRUE(refreshFrameBuffer(buffer));
    EXPECT_TRUE(refreshFrameBuffer(reader));
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

namespace {

// The output clock, seen from outside: whatever rate the application writes at, the stream carries
// the rate its header announces, so it plays at the right speed.
TEST(CameraProgramClock, TheStreamRateIsTheAnnouncedRateWhateverTheWriterRate) {
    if (test::runCommand("command -v ffprobe >/dev/null") != 0) GTEST_SKIP() << "ffprobe is not installed";
    for (int writerFps : {25, 60}) {
        SCOPED_TRACE(writerFps);
        test::ScopedTestEnv env;
        const std::string envs = "OSTRELA_CONTAINER_DIR='" + env.containerDir() + "' QT_QPA_PLATFORM=offscreen ";
        const std::string out = env.root() + "/clock.y4m";
        const std::string cmd = "(" + envs + "'" + test::programPath("ostrela-testframes") + "' --fps " +
                                std::to_string(writerFps) + " --frames " + std::to_string(writerFps * 4) +
                                ") & sleep 0.3; " + envs + "'" + test::programPath("ostrela-camera") + "' --fps 30 --y4m '" +
                                out + "' --seconds 2 2>/dev/null; rc=$?; kill %1 2>/dev/null; wait; exit $rc";
        ASSERT_EQ(test::runCommand(cmd), 0);
        EXPECT_EQ(test::readFile(out).substr(0, 32), "YUV4MPEG2 W1280 H720 F30:1 Ip A1");
        std::string probe;
        ASSERT_EQ(test::runCommand("ffprobe -v error -count_frames -show_entries stream=r_frame_rate,nb_read_frames "
                                   "-of default=nw=1 '" + out + "'", &probe), 0);
        const auto at = probe.find("nb_read_frames=");
        ASSERT_NE(at, std::string::npos) << probe;
        const int frames = std::atoi(probe.c_str() + at + 15);
        // Two seconds of a 30 fps clock: at most 61 ticks, whether the writer sent 50 frames or 120.
        EXPECT_LE(frames, 61);
        EXPECT_GE(frames, 45);
        EXPECT_NE(probe.find("r_frame_rate=30/1"), std::string::npos) << probe;
    }
}

TEST(CameraProgramClock, TheY4mHeaderCarriesTheChosenRate) {
    test::ScopedTestEnv env;
    const std::string out = env.root() + "/rate.y4m";
    {
        Y4mSink y4m(out, 25);
        ASSERT_TRUE(y4m.ok());
        ASSERT_TRUE(y4m.write(idlePicture().data()));
    }
    const std::string start = "YUV4MPEG2 W1280 H720 F25:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\nFRAME\n";
    EXPECT_EQ(test::readFile(out).substr(0, start.size()), start);
}

}  // namespace

namespace {

TEST(CameraStatusFile, RoundTripsAndTellsALiveWriterFromAGoneOne) {
    test::ScopedTestEnv env;
    EXPECT_FALSE(readCameraStatus().has_value());
    CameraOutputStatus written;
    written.route = "loopback";
    written.device = "/dev/video7";
    written.reachable = true;
    const double before = wallClockSeconds();
    ASSERT_TRUE(writeCameraStatus(written));
    auto read = readCameraStatus();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->route, "loopback");
    EXPECT_EQ(read->device, "/dev/video7");
    EXPECT_TRUE(read->reachable);
    EXPECT_EQ(read->pid, int64_t(::getpid()));
    EXPECT_GE(read->updated, before);
    EXPECT_TRUE(cameraStatusIsLive(*read));

    // A program that has ended: its pid is gone.
    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    read->pid = child;
    EXPECT_FALSE(cameraStatusIsLive(*read));

    for (const char* junk : {"", "[]", "{\"route\": 3, \"pid\": 1}", "{\"route\": \"pipewire\"}", "not json"}) {
        test::writeFile(env.containerDir() + "/camera_status.json", junk);
        EXPECT_FALSE(readCameraStatus().has_value()) << junk;
    }
    removeCameraStatus();
    EXPECT_FALSE(fs::exists(env.containerDir() + "/camera_status.json"));
}

}  // namespace
