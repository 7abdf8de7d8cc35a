#include "pipeline/FrameBuffer.h"
#include "pipeline/Paths.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <thread>

using namespace ostrela;
namespace fs = std::filesystem;

namespace {

class FrameBufferTest : public ::testing::Test {
protected:
    test::ScopedTestEnv env;
    std::string framePath() const { return env.containerDir() + "/frame.raw"; }
    std::string statePath() const { return env.containerDir() + "/frame_state.bin"; }
};

TEST(FrameStateRecord, ExactLittleEndianBytes) {
    // 1.5 as an IEEE-754 double is 0x3FF8000000000000.
    auto bytes = encodeFrameState({0x0102030405060708ull, 1.5});
    const uint8_t expected[16] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F};
    EXPECT_EQ(std::memcmp(bytes.data(), expected, 16), 0);
    FrameState back = decodeFrameState(bytes.data());
    EXPECT_EQ(back.generation, 0x0102030405060708ull);
    EXPECT_EQ(back.timestamp, 1.5);
    EXPECT_EQ(kFrameBytes, 3686400u);
    EXPECT_EQ(kFrameStride, 5120);
}

TEST_F(FrameBufferTest, WriterCreatesPrivateFilesOfTheFixedSize) {
    uint8_t* p = openFrameBuffer(true);
    ASSERT_NE(p, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(env.containerDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(framePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(size_t(st.st_size), kFrameBytes);
    // Writes go to the file shared with other mappings.
    p[0] = 0x11;
    p[kFrameBytes - 1] = 0x22;
    std::string bytes = test::readFile(framePath());
    ASSERT_EQ(bytes.size(), kFrameBytes);
    EXPECT_EQ(uint8_t(bytes[0]), 0x11);
    EXPECT_EQ(uint8_t(bytes[kFrameBytes - 1]), 0x22);
}

TEST_F(FrameBufferTest, LeftoverFilesOfOtherSizesAreResizedKeepingTheirBytes) {
    fs::create_directories(env.containerDir());
    test::writeFile(framePath(), std::string(100, '\x7f'));
    uint8_t* p = openFrameBuffer(true);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(fs::file_size(framePath()), kFrameBytes);
    EXPECT_EQ(p[99], 0x7f);
    EXPECT_EQ(p[100], 0x00);

    test::writeFile(framePath(), std::string(kFrameBytes + 4096, '\x33'));
    ASSERT_NE(openFrameBuffer(true), nullptr);
    EXPECT_EQ(fs::file_size(framePath()), kFrameBytes);
    EXPECT_EQ(uint8_t(test::readFile(framePath())[kFrameBytes - 1]), 0x33);
}

TEST_F(FrameBufferTest, ReaderAttachesOnlyToAnExistingBufferAndNeverResizesIt) {
    EXPECT_EQ(openFrameBuffer(false), nullptr);
    EXPECT_FALSE(fs::exists(framePath()));
    uint8_t* w = openFrameBuffer(true);
    ASSERT_NE(w, nullptr);
    w[12345] = 0xAB;
    const uint8_t* r = openFrameBuffer(false);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r[12345], 0xAB);
    w[12345] = 0xCD;  // shared: the reader sees the writer's later bytes
    EXPECT_EQ(r[12345], 0xCD);
}

TEST_F(FrameBufferTest, MissingContainerPublishesNothing) {
    std::string blocker = env.root() + "/file";
    test::writeFile(blocker, "x");
    setenv("OSTRELA_CONTAINER_DIR", (blocker + "/container").c_str(), 1);
    EXPECT_EQ(containerDirectory(), "");
    EXPECT_EQ(openFrameBuffer(true), nullptr);
    writeFrameState(1);
    EXPECT_FALSE(readFrameState().has_value());
    EXPECT_FALSE(fs::exists(blocker + "/container"));
}

TEST_F(FrameBufferTest, StateFileHoldsGenerationAndPublicationTime) {
    double before = wallClockSeconds();
    writeFrameState(1);
    double after = wallClockSeconds();
    std::string bytes = test::readFile(statePath());
    ASSERT_EQ(bytes.size(), 16u);
    FrameState s = decodeFrameState(reinterpret_cast<const uint8_t*>(bytes.data()));
    EXPECT_EQ(s.generation, 1u);
    EXPECT_GE(s.timestamp, before);
    EXPECT_LE(s.timestamp, after);
    writeFrameState(100);
    EXPECT_EQ(readFrameState()->generation, 100u);
    struct stat st {};
    ASSERT_EQ(::stat(statePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary files are left behind.
    int entries = 0;
    for (auto& e : fs::directory_iterator(env.containerDir())) { (void)e; ++entries; }
    EXPECT_EQ(entries, 1);
}

TEST_F(FrameBufferTest, ConcurrentReaderNeverSeesATornRecord) {
    writeFrameState(FrameState{1, 1.0});
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, reads{0};
    std::thread reader([&] {
        uint64_t last = 0;
        while (!done.load()) {
            auto s = readFrameState();
            if (!s) { ++bad; continue; }
            // Every record written pairs generation g with timestamp g.
            if (s->timestamp != double(s->generation) || s->generation < last) ++bad;
            last = s->generation;
            ++reads;
        }
    });
    for (uint64_t g = 2; g <= 3000; ++g) ASSERT_TRUE(writeFrameState(FrameState{g, double(g)}));
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(readFrameState()->generation, 3000u);
}

TEST_F(FrameBufferTest, ReaderSeesFramesWrittenByAnotherProcess) {
    std::string cmd = "OSTRELA_CONTAINER_DIR='" + env.containerDir() + "' QT_QPA_PLATFORM=offscreen '" +
                      test::programPath("ostrela-testframes") + "' --frames 3 --fps 100 2>/dev/null";
    ASSERT_EQ(test::runCommand(cmd), 0);
    auto state = readFrameState();
    ASSERT_TRUE(state);
    EXPECT_EQ(state->generation, 3u);
    EXPECT_NEAR(state->timestamp, wallClockSeconds(), 10.0);
    const uint8_t* r = openFrameBuffer(false);
    ASSERT_NE(r, nullptr);
    // Frame 3 shifts the bars left by 24 pixels: x = 0 shows white bar 0, x = 140 shows bar 1 (yellow).
    auto px = [&](int x, int y) { return r + size_t(y) * kFrameStride + size_t(x) * 4; };
    const uint8_t* white = px(10, 400);
    EXPECT_EQ(white[0], 255); EXPECT_EQ(white[1], 255); EXPECT_EQ(white[2], 255); EXPECT_EQ(white[3], 255);
    const uint8_t* yellow = px(140, 400);  // BGRA of yellow
    EXPECT_EQ(yellow[0], 0); EXPECT_EQ(yellow[1], 255); EXPECT_EQ(yellow[2], 255);
    const uint8_t* black = px(1280 - 24 - 10, 400);  // last bar
    EXPECT_EQ(black[0], 0); EXPECT_EQ(black[1], 0); EXPECT_EQ(black[2], 0); EXPECT_EQ(black[3], 255);
}

}  // namespace
