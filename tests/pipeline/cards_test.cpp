// The overlay and picture-in-picture cards, measured on published frames: where the frame colour
// sits, where the shadow falls, what shows through transparent pictures, and how the overlay file
// is picked up from frame to frame.
#include "pipeline/CardCompositor.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/Settings.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPainter>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

using namespace ostrela;
namespace fs = std::filesystem;

namespace {

constexpr QRgb kGreen = 0xFF00C800;   // the camera picture
constexpr QRgb kRed = 0xFFDC0000;     // the overlay picture
const QString kBlueHex = "0000FF";    // the frame colour

QImage filled(int w, int h, QRgb c) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(c);
    return img;
}

struct Frame {
    std::vector<uint8_t> px = std::vector<uint8_t>(kFrameBytes, 0);
    // Pixel whose centre is (x + 0.5, y + 0.5) in output coordinates, y up.
    QRgb at(int x, int y) const {
        uint32_t v;
        std::memcpy(&v, px.data() + (size_t(kFrameHeight - 1 - y) * kFrameWidth + x) * 4, 4);
        return v;
    }
    bool isFrameColour(int x, int y) const {
        QRgb c = at(x, y);
        return qBlue(c) > 200 && qRed(c) < 60 && qGreen(c) < 60;
    }
    bool isOverlay(int x, int y) const {
        QRgb c = at(x, y);
        return qRed(c) > 180 && qGreen(c) < 60 && qBlue(c) < 60;
    }
    // First column from x0 towards x1 (inclusive) whose pixel in row y is the frame colour.
    int firstFrameColumn(int y, int x0, int x1) const {
        const int step = x1 >= x0 ? 1 : -1;
        for (int x = x0; x != x1 + step; x += step)
            if (isFrameColour(x, y)) return x;
        return -1;
    }
    int firstOverlayColumn(int y, int x0, int x1) const {
        const int step = x1 >= x0 ? 1 : -1;
        for (int x = x0; x != x1 + step; x += step)
            if (isOverlay(x, y)) return x;
        return -1;
    }
    int firstFrameRow(int x, int y0, int y1) const {
        const int step = y1 >= y0 ? 1 : -1;
        for (int y = y0; y != y1 + step; y += step)
            if (isFrameColour(x, y)) return y;
        return -1;
    }
};

class CardsTest : public ::testing::Test {
protected:
    test::ScopedTestEnv env;
    FrameComposer composer{2};
    QImage camera = filled(1280, 720, kGreen);

    void SetUp() override {
        settings::setOverlayBorderColorHex(kBlueHex);
        fs::create_directories(env.containerDir());
    }
    std::string overlayPath() const { return env.containerDir() + "/overlay.png"; }
    // Written the way the controller writes it: a temporary file renamed over the old one.
    void putOverlay(const QImage& img) {
        const std::string tmp = env.containerDir() + "/overlay.tmp.png";
        ASSERT_TRUE(img.save(QString::fromStdString(tmp), "PNG"));
        fs::rename(tmp, overlayPath());
    }
    Frame render(const QImage* video = nullptr) {
        Frame f;
        composer.render(camera, video, 1000.0, f.px.data());
        return f;
    }
};

// A 1000×500 picture at 0.32 with the frame on: picture 409.6 × 204.8, card 415.6 × 210.8.
TEST_F(CardsTest, CornerPositionsFollowTheBarReserveAndTopInset) {
    putOverlay(filled(1000, 500, kRed));
    CardStyle style;
    style.widthFraction = 0.32;
    CardGeometry g = cardGeometry(style, 1000, 500, 0, 0);
    EXPECT_NEAR(g.w, 409.6, 1e-9);
    EXPECT_NEAR(g.h, 204.8, 1e-9);
    EXPECT_NEAR(g.W, 415.6, 1e-9);
    EXPECT_NEAR(g.H, 210.8, 1e-9);

    // Bottom right without the bar: the card spans x 840.4 … 1256, y 24 … 234.8.
    Frame f = render();
    const int midY = 129, midX = 1048;
    // The first and last pixels wholly inside the card are the frame colour.
    EXPECT_EQ(f.firstFrameColumn(midY, 800, 1279), 841);
    EXPECT_EQ(f.firstFrameColumn(midY, 1279, 800), 1255);
    EXPECT_EQ(f.firstFrameRow(midX, 0, 400), 24);
    EXPECT_EQ(f.firstFrameRow(midX, 400, 0), 233);
    // Pixel 840 is 0.6 covered, row 234 0.8: partly the frame colour.
    EXPECT_GT(qBlue(f.at(840, midY)), 120);
    EXPECT_LT(qBlue(f.at(840, midY)), 240);
    EXPECT_GT(qBlue(f.at(midX, 234)), qBlue(f.at(840, midY)));
    EXPECT_LT(qBlue(f.at(midX, 234)), 250);
    EXPECT_EQ(qBlue(f.at(839, midY)), 0);
    EXPECT_TRUE(f.isFrameColour(841, midY) && f.isFrameColour(842, midY));  // the 3-pixel frame
    EXPECT_TRUE(f.isOverlay(845, midY));
    EXPECT_TRUE(f.isOverlay(midX, 28));
    EXPECT_EQ(f.at(700, midY), kGreen);  // far from the card: untouched
    // The shadow falls below the card (offset −4, soft), not above it, and fades out.
    EXPECT_LT(qGreen(f.at(midX, 21)), qGreen(kGreen) - 10);
    EXPECT_EQ(qRed(f.at(midX, 21)), 0);
    EXPECT_LT(qGreen(f.at(midX, 21)), qGreen(f.at(midX, 237)));
    EXPECT_GT(qGreen(f.at(midX, 8)), qGreen(f.at(midX, 21)));
    EXPECT_EQ(f.at(midX, 2), kGreen);
    // Rounded corners: the very corner pixel is not the frame colour, the edge next to it is.
    EXPECT_FALSE(f.isFrameColour(1255, 234));
    EXPECT_TRUE(f.isFrameColour(1255, 129));

    // With the bar the card sits on the bar's reserve: y = 82.8 + 24 = 106.8.
    settings::setLowerThirdEnabled(true);
    f = render();
    EXPECT_EQ(f.firstFrameRow(midX, 90, 400), 107);
    EXPECT_EQ(f.firstFrameRow(midX, 400, 90), 316);  // top at 317.6
    EXPECT_EQ(f.firstFrameColumn(200, 800, 1279), 841);

    // And with the Google Meet safe area: 118.8 + 24 = 142.8.
    settings::setLowerThirdGoogleMeetSafeArea(true);
    f = render();
    EXPECT_EQ(f.firstFrameRow(midX, 125, 400), 143);

    // Top left with the safe area: y = 720 − 210.8 − 24 − 36 = 449.2, card top at 660, bar or not.
    settings::setOverlayPlacement(OverlayPlacement::topLeft);
    for (bool bar : {true, false}) {
        settings::setLowerThirdEnabled(bar);
        f = render();
        EXPECT_EQ(f.firstFrameRow(231, 719, 300), 659) << bar;
        EXPECT_EQ(f.firstFrameRow(231, 300, 719), 450) << bar;
        EXPECT_EQ(f.firstFrameColumn(555, 0, 700), 24) << bar;
        EXPECT_EQ(f.firstFrameColumn(555, 700, 0), 438) << bar;  // right edge at 439.6
    }
}

TEST_F(CardsTest, FullScreenIsCentredAboveTheBar) {
    putOverlay(filled(1000, 500, kRed));
    settings::setLowerThirdEnabled(true);
    settings::setIsOverlayFullScreen(true);
    // x = (1280 − 415.6) / 2 = 432.2; y = 82.8 + (637.2 − 210.8) / 2 = 296, top at 506.8.
    Frame f = render();
    EXPECT_EQ(f.firstFrameColumn(400, 300, 1000), 433);
    EXPECT_EQ(f.firstFrameColumn(400, 1000, 300), 846);  // right edge at 847.8
    EXPECT_EQ(f.firstFrameRow(640, 100, 700), 296);
    EXPECT_EQ(f.firstFrameRow(640, 700, 100), 505);
}

TEST_F(CardsTest, TransparentPicturesShowTheFrameColourEvenWithoutAFrame) {
    QImage img(400, 200, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter(&img).fillRect(0, 0, 200, 200, QColor(kRed));  // left half opaque red
    putOverlay(img);
    for (bool border : {true, false}) {
        settings::setOverlayBorderEnabled(border);
        Frame f = render();
        // Card: 409.6 wide from x 840.4 (b = 3) or 846.4 (b = 0), at y 24.
        const int y = border ? 100 : 100;
        EXPECT_TRUE(f.isFrameColour(1150, y)) << border;   // the transparent right half
        EXPECT_TRUE(f.isOverlay(950, y)) << border;        // the opaque left half
        const int left = f.firstFrameColumn(y, 800, 1279);
        if (border)
            EXPECT_EQ(left, 841);
        else
            EXPECT_GT(left, 1040);  // no frame around the opaque half
    }
}

TEST_F(CardsTest, OverlayFileIsReadAgainOnlyWhenItChanges) {
    putOverlay(filled(1000, 500, kRed));
    Frame f = render();
    EXPECT_TRUE(f.isOverlay(1048, 129));
    render();
    render();
    EXPECT_EQ(composer.cards().overlayDecodes(), 1);

    // A new picture shows on the next frame.
    putOverlay(filled(1000, 500, qRgb(250, 220, 0)));
    f = render();
    EXPECT_EQ(composer.cards().overlayDecodes(), 2);
    QRgb c = f.at(1048, 129);
    EXPECT_GT(qRed(c), 230);
    EXPECT_GT(qGreen(c), 200);

    // An undecodable replacement shows no card, and is not decoded again frame after frame.
    test::writeFile(overlayPath(), "not a png");
    f = render();
    EXPECT_EQ(f.at(1048, 129), kGreen);
    render();
    EXPECT_EQ(composer.cards().overlayDecodes(), 3);

    // Deleting the file removes the card on the next frame, shadow and all.
    fs::remove(overlayPath());
    f = render();
    EXPECT_EQ(f.at(1048, 129), kGreen);
    EXPECT_EQ(f.at(1048, 21), kGreen);
    EXPECT_TRUE(composer.cards().loadOverlayImage().isNull());

    // The switch turns it off without touching the file.
    putOverlay(filled(1000, 500, kRed));
    settings::setOverlayImageEnabled(false);
    f = render();
    EXPECT_EQ(f.at(1048, 129), kGreen);
    EXPECT_TRUE(fs::exists(overlayPath()));
}

TEST_F(CardsTest, FancyModeAddsHighlightReflectionGlowAndTiltsOutsideFullScreen) {
    QImage pic = filled(1000, 500, kRed);
    putOverlay(pic);
    settings::setFancyModeEnabled(true);
    settings::setIsOverlayFullScreen(true);
    // Full screen without the bar: x 432.2 … 847.8, y 254.6 … 465.4.
    Frame f = render();
    // No tilt: the picture's left edge (435.2) is the same column near the top and the bottom.
    EXPECT_EQ(f.firstOverlayColumn(455, 380, 700), 436);
    EXPECT_EQ(f.firstOverlayColumn(265, 380, 700), 436);
    EXPECT_EQ(f.firstOverlayColumn(360, 1000, 700), 843);  // the picture ends at 844.8
    // Highlight: a faint white line 1.5 pixels inside the card's edge (433.2 … 434.2) lightens
    // the frame there; without fancy mode that pixel is the plain frame colour.
    const QRgb edge = f.at(433, 360);
    EXPECT_GT(qRed(edge), 100);
    EXPECT_GT(qGreen(edge), 100);
    EXPECT_GT(qBlue(edge), 240);
    // Reflection: the red picture, mirrored and faded, hangs below the card (gap 4).
    const QRgb under = f.at(640, 246);
    EXPECT_GT(qRed(under), 60);
    EXPECT_LT(qRed(f.at(640, 140)), qRed(under));  // fades downwards
    EXPECT_EQ(qRed(f.at(640, 252)) < qRed(under), true);  // the gap is darker than the reflection start
    // Glow: the frame colour spreads softly around the card.
    EXPECT_GT(qBlue(f.at(415, 360)), 30);
    EXPECT_GT(qBlue(f.at(865, 360)), 30);
    EXPECT_EQ(qBlue(f.at(300, 360)), 0);
    // The shadow is stronger and lower than without fancy mode: still dark 8 pixels below.
    EXPECT_LT(qGreen(f.at(300, 246)), 201);

    // In a corner the card tilts: the edge facing the middle (left, at bottom right) is shorter.
    settings::setIsOverlayFullScreen(false);
    f = render();
    const int midEdge = f.firstOverlayColumn(129, 700, 1279);
    const int nearTop = f.firstOverlayColumn(226, 700, 1279);
    ASSERT_GT(midEdge, 0);
    ASSERT_GT(nearTop, 0);
    EXPECT_GT(midEdge, 850);      // moved inwards from 843.4 by the tilt
    EXPECT_GT(nearTop, midEdge);  // and more so towards the top corner
    EXPECT_GE(f.firstOverlayColumn(129, 1279, 700), 1250);  // the outer edge stays near 1252.6
}

TEST_F(CardsTest, VideoModeShowsTheCameraCardNeverTheOverlay) {
    putOverlay(filled(1000, 500, kRed));
    settings::setOverlayBorderEnabled(false);  // the camera card keeps its frame regardless
    settings::setVideoCameraPiPEnabled(true);
    // A 4:3 camera: its top rows would be cut off by the full-frame fit, but the card shows them.
    camera = filled(640, 480, kGreen);
    QPainter(&camera).fillRect(0, 0, 640, 20, QColor(255, 255, 0));
    const QImage video = filled(1920, 1080, qRgb(128, 128, 128));
    Frame f = render(&video);
    // f = 0.26: picture 332.8 × 249.6, card 338.8 × 255.6 at (917.2, 24).
    EXPECT_EQ(f.firstFrameColumn(150, 880, 1279), 917);  // 0.8 covered
    EXPECT_EQ(f.firstFrameColumn(150, 1279, 880), 1255);
    EXPECT_EQ(f.firstFrameRow(1086, 0, 400), 24);
    EXPECT_EQ(f.firstFrameRow(1086, 400, 0), 278);
    EXPECT_EQ(f.at(1086, 150), kGreen);
    const QRgb topBand = f.at(1086, 272);  // the camera's top rows, just inside the frame
    EXPECT_GT(qRed(topBand), 200);
    EXPECT_GT(qGreen(topBand), 200);
    EXPECT_LT(qBlue(topBand), 60);
    // The overlay's corner holds video, not the overlay.
    EXPECT_FALSE(f.isOverlay(1000, 400));
    EXPECT_EQ(f.at(400, 400), qRgb(128, 128, 128));
    EXPECT_EQ(composer.cards().overlayDecodes(), 0);

    // Switched off: only the video.
    settings::setVideoCameraPiPEnabled(false);
    f = render(&video);
    EXPECT_EQ(f.at(1086, 150), qRgb(128, 128, 128));
}

TEST(CardBuildingBlocks, MasksAndTilt) {
    engine::Renderer r(1);
    // The rounded mask: full inside, empty beyond the corner arc, partial at a fractional edge.
    auto alphaAt = [&](const engine::Image& img, int x, int y) {
        std::vector<float> px = r.renderFloat(img, {x, y, 1, 1});
        return px[3];
    };
    engine::Image mask = roundedRectMask(415.6, 210.8, 10);
    EXPECT_FLOAT_EQ(alphaAt(mask, 200, 100), 1.0f);
    EXPECT_LT(alphaAt(mask, 0, 0), 0.05f);
    EXPECT_GT(alphaAt(mask, 415, 100), 0.4f);
    EXPECT_LT(alphaAt(mask, 415, 100), 0.8f);
    // The fade: strongest at the top edge, gone at the bottom.
    engine::Image fade = fadeMask(100, 60);
    EXPECT_GT(alphaAt(fade, 50, 59), 0.95f);
    EXPECT_LT(alphaAt(fade, 50, 0), 0.05f);
    EXPECT_NEAR(alphaAt(fade, 50, 30), 0.5f, 0.05f);

    // The tilt keeps the extent and narrows the side facing the middle.
    engine::Image square = engine::Image::solid({1, 1, 1, 1}).cropped({0, 0, 200, 100});
    engine::Image right = perspectiveTilt(square, OverlayPlacement::bottomRight);
    EXPECT_EQ(right.extent(), (engine::Rect{0, 0, 200, 100}));
    EXPECT_LT(alphaAt(right, 1, 2), 0.01f);    // inside dx = 18 of the left edge at the bottom
    EXPECT_GT(alphaAt(right, 198, 1), 0.99f);  // right edge unchanged
    EXPECT_GT(alphaAt(right, 30, 50), 0.99f);
    engine::Image left = perspectiveTilt(square, OverlayPlacement::topLeft);
    EXPECT_LT(alphaAt(left, 198, 2), 0.01f);
    EXPECT_GT(alphaAt(left, 1, 1), 0.99f);
}

}  // namespace

TEST(RenderToolLooks, OverlayAndTypedSettingsFromTheCommandLine) {
    test::ScopedTestEnv env;
    const std::string tool = test::programPath("ostrela-render");
    const std::string raw = env.root() + "/out.raw", overlay = env.root() + "/pic.jpg";
    ASSERT_TRUE(filled(1000, 500, kRed).save(QString::fromStdString(overlay), "JPG"));
    std::string out;
    // "000000" stays a colour (text), not the number 0; booleans and numbers are typed by key.
    ASSERT_EQ(0, test::runCommand(tool + " --synthetic 1280x720 --overlay " + overlay +
                                      " --set overlayBorderColorHex=000000 --set overlayWidthFraction=0.32"
                                      " --set overlayPlacement=bottomLeft --set lowerThirdEnabled=true"
                                      " --set 'lowerThirdText=Hello there' --time 1000 -o " + raw + " 2>&1",
                                  &out))
        << out;
    const std::string bytes = test::readFile(raw);
    ASSERT_EQ(bytes.size(), kFrameBytes);
    Frame f;
    std::memcpy(f.px.data(), bytes.data(), kFrameBytes);
    // Bottom left on the bar: x 24 … 439.6, y 106.8 …; the frame is black, the picture red.
    EXPECT_EQ(f.at(25, 200), qRgb(0, 0, 0));
    EXPECT_TRUE(f.isOverlay(40, 200));
    EXPECT_EQ(f.at(10, 40), qRgb(0x18, 0x8A, 0x8A));  // the bar
    // The user's own container and settings are left alone.
    EXPECT_FALSE(fs::exists(env.containerDir() + "/overlay.png"));
    EXPECT_FALSE(settings::lowerThirdEnabled());

    EXPECT_NE(0, test::runCommand(tool + " --set lowerThirdEnabld=true -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("unknown settings key \"lowerThirdEnabld\""), std::string::npos) << out;
    EXPECT_NE(0, test::runCommand(tool + " --set fancyModeEnabled=maybe -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("fancyModeEnabled wants true or false"), std::string::npos) << out;
    EXPECT_NE(0, test::runCommand(tool + " --set overlayWidthFraction=big -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("overlayWidthFraction wants a number"), std::string::npos) << out;
    EXPECT_NE(0, test::runCommand(tool + " --set overlayPlacement=middle -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("overlayPlacement wants topLeft"), std::string::npos) << out;
    EXPECT_NE(0, test::runCommand(tool + " --overlay " + env.root() + "/none.png -o " + raw + " 2>&1", &out));
    EXPECT_NE(out.find("cannot use \"" + env.root() + "/none.png\" as the overlay: Could not read none.png"),
              std::string::npos)
        << out;
}

// Only the card's and the bar's rectangles go through the float pipeline; the rest is copied.
// The published frame must be the one the whole graph gives.
TEST_F(CardsTest, CopyingOutsideTheLayersGivesTheWholeGraphsFrame) {
    putOverlay(filled(1000, 500, kRed));
    settings::setFancyModeEnabled(true);
    settings::setLowerThirdEnabled(true);
    settings::setLowerThirdAlwaysScroll(true);
    settings::setLowerThirdText("Overlapping the card's reflection");
    QPainter(&camera).fillRect(100, 100, 500, 300, QColor(30, 60, 90));
    Frame split = render();
    std::vector<uint8_t> whole(kFrameBytes, 0);
    composer.renderer().render(composer.compose(camera, nullptr, 1000.0), {0, 0, kFrameWidth, kFrameHeight},
                               whole.data(), size_t(kFrameStride));
    int differing = 0;
    for (size_t i = 0; i < kFrameBytes; ++i)
        if (split.px[i] != whole[i]) ++differing;
    EXPECT_EQ(differing, 0);
}
