#include "library/VideoDecoder.h"
#include "tests/support/TestEnv.h"

#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

// Clips are made once per run: a test pattern with a white box that moves 10 px per frame, so the
// box position tells which frame a still came from.
class ClipFiles : public ::testing::Environment {
public:
    static std::string dir() {
        static QTemporaryDir d;
        return d.path().toStdString();
    }
};

std::string makeClip(const std::string& name, const std::string& args) {
    const std::string path = ClipFiles::dir() + "/" + name;
    const std::string cmd = "ffmpeg -v error -y " + args + " '" + path + "' 2>&1";
    std::string out;
    EXPECT_EQ(test::runCommand(cmd, &out), 0) << out;
    return path;
}

// Frame n of the clip shows a white 16×16 box at x = 10·n + 10, y = 10 on black.
std::string movingBox(int w, int h, double seconds, int fps = 25) {
    const std::string rate = ":r=" + std::to_string(fps);
    return "-f lavfi -i \"color=c=black:s=" + std::to_string(w) + "x" + std::to_string(h) + rate +
           ":d=" + std::to_string(seconds) + "[bg];color=c=white:s=16x16" + rate +
           "[b];[bg][b]overlay=x=10*n:y=10:shortest=1[out0]\"";
}

// Column of the box's centre in a row through it (−1 if none).
int boxCentreX(const QImage& image, int row) {
    int first = -1, last = -1;
    for (int x = 0; x < image.width(); ++x)
        if (qGray(image.pixel(x, row)) > 200) {
            if (first < 0) first = x;
            last = x;
        }
    return first < 0 ? -1 : (first + last) / 2;
}

}  // namespace

TEST(VideoPoster, H264StillAtQuarterOfDurationBoundedTo640) {
    const std::string clip = makeClip("wide.mp4", movingBox(1280, 720, 2.0) + " -c:v libx264 -pix_fmt yuv420p");
    const QByteArray jpeg = generatePosterData(QString::fromStdString(clip));
    ASSERT_FALSE(jpeg.isEmpty());
    EXPECT_TRUE(jpeg.startsWith("\xff\xd8\xff"));
    QImage still = QImage::fromData(jpeg, "JPG");
    ASSERT_FALSE(still.isNull());
    EXPECT_EQ(still.size(), QSize(640, 360));
    // 25 % of 2 s = 0.5 s = frame 12: box at x 130…145 in the source, half that in the still.
    const int centre = boxCentreX(still, 9);
    EXPECT_NEAR(centre, (120 + 17) / 2, 3);
}

TEST(VideoPoster, LongVp9WithAudioCapsAtFiveSeconds) {
    const std::string clip = makeClip(
        "long.webm", movingBox(320, 240, 24.0, 10) +
                         " -f lavfi -i sine=frequency=440:duration=24 -c:v libvpx-vp9 -deadline realtime -cpu-used 8"
                         " -b:v 200k -c:a libopus -shortest");
    const QByteArray jpeg = generatePosterData(QString::fromStdString(clip));
    ASSERT_FALSE(jpeg.isEmpty());
    QImage still = QImage::fromData(jpeg, "JPG");
    EXPECT_EQ(still.size(), QSize(320, 240));  // never scaled up
    // min(6 s, 5 s) = 5 s = frame 50 at 10 fps → box at x 500 would be off the 320-wide picture;
    // frame 50's box is gone, while early frames show it: the still is not from the start.
    EXPECT_EQ(boxCentreX(still, 18), -1);
}

TEST(VideoPoster, RotatedClipComesOutUpright) {
    // Landscape 160×90 pixels tagged (by a stream copy) to be displayed turned by 90°.
    const std::string plain = makeClip("plain.mp4", movingBox(160, 90, 1.0) + " -c:v libx264 -pix_fmt yuv420p");
    const std::string clip = makeClip("rotated.mp4", "-i '" + plain + "' -c copy -metadata:s:v:0 rotate=90");
    VideoDecoder decoder;
    ASSERT_TRUE(decoder.open(QString::fromStdString(clip)));
    EXPECT_EQ(decoder.outputSize(), QSize(90, 160));
    auto frame = decoder.frameAt(0.0);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->image.size(), QSize(90, 160));
    EXPECT_EQ(frame->image.format(), QImage::Format_RGB32);
    // The stream's display matrix asks for a 90° counter-clockwise turn (ffprobe: rotation=90), so the
    // box, top left in the stored pixels, must end up bottom left and nowhere else.
    int bottomLeft = 0, elsewhere = 0;
    for (int y = 0; y < 160; ++y)
        for (int x = 0; x < 90; ++x) {
            const bool white = qGray(frame->image.pixel(x, y)) > 200;
            if (x < 45 && y >= 120) bottomLeft += white;
            else elsewhere += white;
        }
    EXPECT_GT(bottomLeft, 150);
    EXPECT_EQ(elsewhere, 0);
    const QImage still = QImage::fromData(generatePosterData(QString::fromStdString(clip)), "JPG");
    EXPECT_EQ(still.size(), QSize(90, 160));
}

// Opaque pictures are handed on as they are (alpha 255, nothing to premultiply); a stream with
// alpha keeps it, straight, where it is.
TEST(VideoPoster, OpaqueAndTransparentStreamsKeepTheirAlpha) {
    const std::string opaque = makeClip("opaque.mp4", movingBox(64, 32, 0.2) + " -c:v libx264 -pix_fmt yuv420p");
    VideoDecoder decoder;
    ASSERT_TRUE(decoder.open(QString::fromStdString(opaque)));
    auto frame = decoder.frameAt(0.0);
    ASSERT_TRUE(frame.has_value());
    ASSERT_EQ(frame->image.format(), QImage::Format_RGB32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_EQ(qAlpha(frame->image.pixel(x, y)), 255) << x << "," << y;
    // Left half clear, right half red at alpha 0x80 (straight).
    const std::string clear = makeClip(
        "alpha.mov", "-f lavfi -i \"color=c=red@0.5:s=64x32:d=0.2,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':"
                     "a='if(lt(X,32),0,128)'\" -c:v png -pix_fmt rgba");
    ASSERT_TRUE(decoder.open(QString::fromStdString(clear)));
    frame = decoder.frameAt(0.0);
    ASSERT_TRUE(frame.has_value());
    ASSERT_EQ(frame->image.format(), QImage::Format_ARGB32);
    const QRgb left = frame->image.pixel(5, 16), right = frame->image.pixel(50, 16);
    EXPECT_EQ(qAlpha(left), 0);
    EXPECT_EQ(qAlpha(right), 128);
    EXPECT_EQ(qRed(right), 255);
    EXPECT_EQ(qGreen(right), 0);
}

TEST(VideoPoster, FrameExactSeeks) {
    const std::string clip = makeClip("seek.mp4", movingBox(320, 64, 2.0) + " -c:v libx264 -g 25 -pix_fmt yuv420p");
    VideoDecoder decoder;
    ASSERT_TRUE(decoder.open(QString::fromStdString(clip)));
    EXPECT_NEAR(decoder.duration(), 2.0, 0.05);
    EXPECT_NEAR(decoder.frameInterval(), 0.04, 1e-6);
    for (int n : {0, 7, 13, 24, 26}) {
        auto f = decoder.frameAt(n * 0.04 + 0.01);
        ASSERT_TRUE(f.has_value());
        EXPECT_NEAR(f->seconds, n * 0.04, 1e-3) << n;
        EXPECT_NEAR(boxCentreX(f->image, 18), 10 * n + 17, 2) << n;
    }
    // After a seek, reading on continues with the following frames.
    ASSERT_TRUE(decoder.seek(0.4));
    auto a = decoder.nextFrame();
    auto b = decoder.nextFrame();
    ASSERT_TRUE(a && b);
    EXPECT_NEAR(a->seconds, 0.4, 1e-3);
    EXPECT_NEAR(b->seconds, 0.44, 1e-3);
    // Past the end: the last frame.
    auto last = decoder.frameAt(100.0);
    ASSERT_TRUE(last.has_value());
    EXPECT_NEAR(last->seconds, 1.96, 1e-3);
}

TEST(VideoPoster, NoPictureGivesNoPoster) {
    const std::string audio = makeClip("tone.m4a", "-f lavfi -i sine=frequency=440:duration=1 -c:a aac");
    EXPECT_TRUE(generatePosterData(QString::fromStdString(audio)).isEmpty());
    const std::string garbage = ClipFiles::dir() + "/garbage.mov";
    test::writeFile(garbage, std::string(4096, 'x'));
    EXPECT_TRUE(generatePosterData(QString::fromStdString(garbage)).isEmpty());
    EXPECT_TRUE(generatePosterData(QString::fromStdString(ClipFiles::dir() + "/absent.mp4")).isEmpty());
    VideoDecoder decoder;
    QString error;
    EXPECT_FALSE(decoder.open(QString::fromStdString(audio), &error));
    EXPECT_EQ(error, "The file has no video picture");
}
