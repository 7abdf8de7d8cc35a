#include "library/AudioDecoder.h"
#include "library/VideoPlaybackService.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/TestEnv.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace ostrela;

namespace {

// 2 s of a 440 Hz tone with a small picture, and the same picture without sound.
std::string clip(bool withSound) {
    static QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + (withSound ? "/tone.mp4" : "/silent.mp4");
    if (!QFileInfo::exists(QString::fromStdString(path))) {
        std::string cmd = "ffmpeg -v error -y -f lavfi -i color=c=blue:s=160x90:r=25:d=2 ";
        if (withSound) cmd += "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -c:a aac -b:a 96k ";
        cmd += "-c:v libx264 -pix_fmt yuv420p -shortest '" + path + "' 2>&1";
        std::string out;
        EXPECT_EQ(test::runCommand(cmd, &out), 0) << out;
    }
    return path;
}

// Upward zero crossings of the first channel, i.e. whole periods.
int periods(const std::vector<float>& interleaved, int channels) {
    int n = 0;
    for (size_t i = size_t(channels); i < interleaved.size(); i += size_t(channels))
        if (interleaved[i - size_t(channels)] < 0 && interleaved[i] >= 0) ++n;
    return n;
}

std::vector<float> readAll(AudioDecoder& decoder, int maxFrames) {
    std::vector<float> all;
    std::vector<float> chunk(size_t(1024) * size_t(decoder.channels()));
    for (int left = maxFrames; left > 0;) {
        const int got = decoder.read(chunk.data(), std::min(left, 1024));
        left -= got;
        if (got == 0) break;
        all.insert(all.end(), chunk.begin(), chunk.begin() + long(got) * decoder.channels());
    }
    return all;
}

// Records what the playback service asks of its sound.
struct RecordingOutput : AudioOutput {
    std::vector<std::string>* calls;
    bool hasSound;
    RecordingOutput(std::vector<std::string>* c, bool sound) : calls(c), hasSound(sound) {}
    bool open(const QString& path) override {
        calls->push_back("open " + QFileInfo(path).fileName().toStdString());
        return hasSound;
    }
    void play(double s) override { calls->push_back("play " + QString::number(s, 'f', 2).toStdString()); }
    void pause() override { calls->push_back("pause"); }
    void setVolume(double v) override { calls->push_back("volume " + QString::number(v, 'f', 2).toStdString()); }
    void close() override { calls->push_back("close"); }
};

}  // namespace

TEST(AudioDecoding, ResamplesToTheAskedRateAndSeeksToTheSample) {
    AudioDecoder decoder;
    QString error;
    ASSERT_TRUE(decoder.open(QString::fromStdString(clip(true)), 48000, 2, &error)) << error.toStdString();
    EXPECT_EQ(decoder.sampleRate(), 48000);
    EXPECT_EQ(decoder.channels(), 2);

    // One second of sound holds 440 periods, whatever rate the file was written at.
    decoder.seek(0.5);
    std::vector<float> second = readAll(decoder, 48000);
    ASSERT_EQ(second.size(), size_t(48000) * 2);
    EXPECT_NEAR(periods(second, 2), 440, 3);
    float peak = 0;
    for (float v : second) peak = std::max(peak, std::abs(v));
    // The generator's tone peaks at 1/8; the mono source is spread to both channels at −3 dB.
    EXPECT_NEAR(peak, 0.125 * M_SQRT1_2, 0.015);
    EXPECT_NEAR(decoder.position(), 1.5, 0.01);

    // From 1.25 s to the end is 0.75 s of sound (the encoder may pad a few milliseconds).
    ASSERT_TRUE(decoder.seek(1.25));
    EXPECT_NEAR(decoder.position(), 1.25, 1e-9);
    std::vector<float> tail = readAll(decoder, 10 * 48000);
    EXPECT_NEAR(double(tail.size()) / 2 / 48000, 0.75, 0.05);
    EXPECT_EQ(decoder.read(second.data(), 16), 0);
}

TEST(AudioDecoding, FilesWithoutSoundAndUnreadableFilesSaySo) {
    AudioDecoder decoder;
    QString error;
    EXPECT_FALSE(decoder.open(QString::fromStdString(clip(false)), 48000, 2, &error));
    EXPECT_EQ(error, "the file has no sound");
    EXPECT_FALSE(decoder.isOpen());
    float buffer[8];
    EXPECT_EQ(decoder.read(buffer, 4), 0);

    test::ScopedTestEnv env;
    const std::string junk = env.root() + "/junk.mp4";
    test::writeFile(junk, std::string(4096, 'x'));
    EXPECT_FALSE(decoder.open(QString::fromStdString(junk), 48000, 2, &error));
    EXPECT_EQ(error, "the file cannot be read");
}

TEST(VideoSound, FollowsThePlaybackClock) {
    test::ScopedTestEnv env;
    std::vector<std::string> calls;
    double clock = 10;
    VideoPlaybackService service;
    service.setClockForTesting([&] { return clock; });
    service.setAudioOutputForTesting(std::make_unique<RecordingOutput>(&calls, true));
    service.setVolume(0.25);
    service.load(QString::fromStdString(clip(true)));
    EXPECT_TRUE(service.hasSound());
    service.togglePlayPause();
    clock += 0.5;
    service.seek(1.0);
    service.togglePlayPause();
    clock += 3;
    service.togglePlayPause();  // resumes where it paused
    clock += 5;                 // past the end: pauses and returns to 0
    ASSERT_TRUE(test::waitUntil([&] {
        service.currentFrame();
        service.tick();
        return !service.isPlaying();
    }, 15000));
    service.unload();
    EXPECT_EQ(calls, (std::vector<std::string>{"volume 1.00", "volume 0.25", "open tone.mp4", "play 0.00", "play 1.00",
                                               "pause", "play 1.00", "pause", "close"}));
    EXPECT_FALSE(service.hasSound());
}

TEST(VideoSound, SilentFilesNeverStartTheOutput) {
    test::ScopedTestEnv env;
    std::vector<std::string> calls;
    VideoPlaybackService service;
    service.setAudioOutputForTesting(std::make_unique<RecordingOutput>(&calls, false));
    service.load(QString::fromStdString(clip(false)));
    EXPECT_FALSE(service.hasSound());
    service.togglePlayPause();
    service.seek(0.5);
    service.togglePlayPause();
    service.unload();
    EXPECT_EQ(calls, (std::vector<std::string>{"volume 1.00", "open silent.mp4"}));
}

TEST(VideoSound, TheSystemOutputIsQuietWithoutADevice) {
    // On a machine without sound hardware the real output declines and playback goes on.
    test::ScopedTestEnv env;
    VideoPlaybackService service;
    service.load(QString::fromStdString(clip(true)));
    service.togglePlayPause();
    EXPECT_TRUE(service.isPlaying());
    service.unload();
}
