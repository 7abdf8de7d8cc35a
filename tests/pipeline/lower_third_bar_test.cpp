// The lower-third bar: which text it shows, and the bitmap measured pixel by pixel (background,
// shade, top line, where the text stands, where the ticker is at a given moment).
#include "pipeline/FrameBuffer.h"
#include "pipeline/FrameComposer.h"
#include "pipeline/LowerThirdBar.h"
#include "pipeline/Settings.h"
#include "sources/LowerThirdModes.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cmath>
#include <cstring>
#include <vector>

using namespace ostrela;

namespace {

// White text without a shadow on a black bar: text pixels are the only bright ones in the band.
LowerThirdBarStyle plainStyle() {
    LowerThirdBarStyle s;
    s.barColorHex = "000000";
    s.textColorHex = "FFFFFF";
    s.textShadow = false;
    return s;
}

bool isText(const QImage& bar, int x, int row) { return qGreen(bar.pixel(x, row)) > 128; }

// Columns holding text anywhere between the rows given (top row first).
std::vector<bool> textColumns(const QImage& bar, int row0, int row1) {
    std::vector<bool> cols(size_t(bar.width()), false);
    for (int x = 0; x < bar.width(); ++x)
        for (int r = row0; r <= row1 && !cols[size_t(x)]; ++r) cols[size_t(x)] = isText(bar, x, r);
    return cols;
}

int firstTextColumn(const QImage& bar) {
    auto c = textColumns(bar, 5, bar.height() - 1);
    for (int x = 0; x < int(c.size()); ++x)
        if (c[size_t(x)]) return x;
    return -1;
}
int lastTextColumn(const QImage& bar) {
    auto c = textColumns(bar, 5, bar.height() - 1);
    for (int x = int(c.size()) - 1; x >= 0; --x)
        if (c[size_t(x)]) return x;
    return -1;
}

// Left edges of runs of text that follow a gap of at least `gap` empty columns.
std::vector<int> runStarts(const QImage& bar, int gap) {
    auto c = textColumns(bar, 5, bar.height() - 1);
    std::vector<int> starts;
    int empty = gap;
    for (int x = 0; x < int(c.size()); ++x) {
        if (c[size_t(x)]) {
            if (empty >= gap) starts.push_back(x);
            empty = 0;
        } else {
            ++empty;
        }
    }
    return starts;
}

double luminance(QRgb c) { return 0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c); }

}  // namespace

TEST(BarText, PriorityOfTheSources) {
    test::ScopedTestEnv env;
    EXPECT_EQ(lowerThirdBarText(), "");
    settings::setLowerThirdText("Typed");
    EXPECT_EQ(lowerThirdBarText(), "Typed");

    // The video title falls through while it is empty (no video playing).
    settings::setLowerThirdVideoTitleEnabled(true);
    settings::setWeatherEnabled(true);
    settings::setWeatherDisplayText(QString::fromUtf8("72°F ☀️ Springfield"));
    EXPECT_EQ(lowerThirdBarText(), QString::fromUtf8("72°F ☀️ Springfield"));
    settings::setLowerThirdVideoTitleText("Holiday.mov");
    EXPECT_EQ(lowerThirdBarText(), "Holiday.mov");
    settings::setLowerThirdVideoTitleText("");

    // Now playing beats the weather, the feed beats both.
    settings::setNowPlayingEnabled(true);
    settings::setNowPlayingDisplayText("Song — Artist");
    EXPECT_EQ(lowerThirdBarText(), "Song — Artist");
    settings::setRssFeedEnabled(true);
    settings::setRssFeedDisplayText("Headline one");
    EXPECT_EQ(lowerThirdBarText(), "Headline one");
    // The feed always scrolls, whatever the setting.
    EXPECT_TRUE(LowerThirdBarStyle::fromSettings().alwaysScroll);

    // An enabled source with an empty line gives an empty bar; it does not fall through.
    settings::setRssFeedDisplayText("");
    EXPECT_EQ(lowerThirdBarText(), "");
    settings::setRssFeedEnabled(false);
    settings::setNowPlayingDisplayText("");
    EXPECT_EQ(lowerThirdBarText(), "");
    settings::setNowPlayingEnabled(false);
    settings::setWeatherEnabled(false);
    EXPECT_EQ(lowerThirdBarText(), "Typed");
    EXPECT_FALSE(LowerThirdBarStyle::fromSettings().alwaysScroll);
    settings::setLowerThirdAlwaysScroll(true);
    EXPECT_TRUE(LowerThirdBarStyle::fromSettings().alwaysScroll);
}

TEST(BarBitmap, BackgroundShadeAndTopLine) {
    LowerThirdBarStyle style;  // "188A8A" at full opacity
    for (const QString& text : {QString(), QString("   \n\t ")}) {
        QImage bar = drawLowerThirdBar(style, text, 1000);
        ASSERT_EQ(bar.size(), QSize(1280, 83));
        // The band is the bar colour, and nothing else: blank text draws no text.
        for (int x : {0, 300, 640, 1279})
            for (int row : {10, 40, 70}) EXPECT_EQ(bar.pixel(x, row), qRgb(0x18, 0x8A, 0x8A)) << x << "," << row;
        // Top line: opaque white on the top two rows, the third row (0.905) partly.
        EXPECT_EQ(bar.pixel(640, 0), qRgb(255, 255, 255));
        EXPECT_EQ(bar.pixel(640, 1), qRgb(255, 255, 255));
        EXPECT_GT(qRed(bar.pixel(640, 2)), 0xC0);
        EXPECT_LT(qRed(bar.pixel(640, 2)), 0xFF);
        // Bottom shade: darkest at the bottom edge, fading out by 10 pixels up.
        const double bottom = luminance(bar.pixel(640, 82)), mid = luminance(bar.pixel(640, 78));
        const double above = luminance(bar.pixel(640, 72));
        EXPECT_LT(bottom, mid);
        EXPECT_LT(mid, above);
        EXPECT_EQ(bar.pixel(640, 72), qRgb(0x18, 0x8A, 0x8A));
        EXPECT_NEAR(bottom, luminance(qRgb(0x18, 0x8A, 0x8A)) * 0.72, 12);
    }
}

TEST(BarBitmap, OpacityZeroKeepsOnlyShadeLineAndText) {
    LowerThirdBarStyle style;
    style.opacity = 0;
    style.textShadow = false;
    QImage bar = drawLowerThirdBar(style, "Hi", 1000);
    EXPECT_EQ(qAlpha(bar.pixel(100, 40)), 0);  // no bar colour
    EXPECT_EQ(bar.pixel(640, 0), qRgba(255, 255, 255, 255));
    EXPECT_NEAR(qAlpha(bar.pixel(100, 82)), 0.28 * 255, 14);  // black shade at the bottom edge
    EXPECT_EQ(qRed(bar.pixel(100, 82)), 0);
    EXPECT_GE(lastTextColumn(bar), 0);
    // The text is there, opaque white.
    bool opaqueText = false;
    for (int x = 600; x < 680 && !opaqueText; ++x)
        for (int r = 20; r < 60 && !opaqueText; ++r) opaqueText = bar.pixel(x, r) == qRgba(255, 255, 255, 255);
    EXPECT_TRUE(opaqueText);
}

TEST(BarBitmap, StillTextStandsAtItsAlignment) {
    LowerThirdBarStyle style = plainStyle();
    const QString text = "Good Morning";
    const BarTextMetrics m = measureBarText(text);
    ASSERT_GT(m.width, 100);

    style.alignment = LowerThirdTextAlignment::leading;
    QImage bar = drawLowerThirdBar(style, text, 1000);
    EXPECT_NEAR(firstTextColumn(bar), 24, 1);
    // Still text does not move with the clock.
    EXPECT_EQ(bar, drawLowerThirdBar(style, text, 1234.5));

    style.alignment = LowerThirdTextAlignment::trailing;
    bar = drawLowerThirdBar(style, text, 1000);
    EXPECT_NEAR(lastTextColumn(bar), 1255, 1);

    style.alignment = LowerThirdTextAlignment::center;
    bar = drawLowerThirdBar(style, text, 1000);
    const int l = firstTextColumn(bar), r = lastTextColumn(bar);
    EXPECT_NEAR(l + r + 1, 1280, 2);
    EXPECT_NEAR(r + 1 - l, m.width, 2);

    // Vertically the glyph box is centred in the band above the top line: 2.905 … 83 from the top.
    int top = -1, bottom = -1;
    for (int row = 4; row < bar.height(); ++row)  // below the top line
        for (int x = l; x <= r; ++x)
            if (isText(bar, x, row)) {
                if (top < 0) top = row;
                bottom = row;
            }
    EXPECT_NEAR((top + bottom + 1) / 2.0, 2.905 + 80.095 / 2, 1.5);
}

TEST(BarBitmap, TextUpTo1232WideStandsStillWiderScrolls) {
    EXPECT_FALSE(barTextScrolls(1232.0, false));
    EXPECT_TRUE(barTextScrolls(1232.01, false));
    EXPECT_TRUE(barTextScrolls(10, true));

    // The longest run of "M" that fits, and one more.
    QString fits = "M";
    while (measureBarText(fits + "M").width <= 1232) fits += "M";
    const QString wider = fits + "M";
    ASSERT_LE(measureBarText(fits).width, 1232);
    ASSERT_GT(measureBarText(wider).width, 1232);

    LowerThirdBarStyle style = plainStyle();
    EXPECT_EQ(drawLowerThirdBar(style, fits, 1000), drawLowerThirdBar(style, fits, 1001));
    EXPECT_NE(drawLowerThirdBar(style, wider, 1000), drawLowerThirdBar(style, wider, 1001));
    // Short text scrolls too when asked to.
    style.alwaysScroll = true;
    EXPECT_NE(drawLowerThirdBar(style, "Hi", 1000), drawLowerThirdBar(style, "Hi", 1001));
}

TEST(BarBitmap, TickerPositionIsAFunctionOfTheClock) {
    LowerThirdBarStyle style = plainStyle();
    style.alwaysScroll = true;
    style.scrollSpeed = 90;
    const QString text = "Tick";
    const BarTextMetrics m = measureBarText(text);
    ASSERT_GT(m.cycle, m.width);  // the loop includes "   •   "

    // At t = 0 the first copy starts at the right edge; the others follow one cycle apart.
    // Runs of text start at the copies' glyph boxes; the bullets are in between.
    QImage at0 = drawLowerThirdBar(style, text, 0);
    std::vector<int> starts = runStarts(at0, 3);
    ASSERT_GE(starts.size(), 4u);
    // Every other run is a bullet: copies of "Tick" are one cycle apart.
    auto near = [](double a, double b) { return std::abs(a - b) <= 1.5; };
    const double cycle = m.cycle;
    int found = 0;
    for (int k = 1; k * cycle < 1280; ++k) {
        const double expect = 1280 - k * cycle;  // glyph box left edge of copy k
        for (int s : starts)
            if (near(s, expect)) ++found;
    }
    EXPECT_GE(found, 3);

    // One and a half seconds later everything has moved 135 pixels left (modulo a cycle).
    QImage later = drawLowerThirdBar(style, text, 1.5);
    std::vector<int> startsLater = runStarts(later, 3);
    const double offset = std::fmod(90 * 1.5, cycle);
    int moved = 0;
    for (int k = 0; 1280 - offset - k * cycle > 0; ++k) {
        const double expect = 1280 - offset - k * cycle;
        for (int s : startsLater)
            if (near(s, expect)) ++moved;
    }
    EXPECT_GE(moved, 3);

    // The same moment gives the same picture, whatever was drawn before.
    LowerThirdBarRenderer warm;
    for (int i = 0; i < 10; ++i) warm.image(style, text, i * 0.37);
    EXPECT_EQ(warm.image(style, text, 1.5), later);
    // A seamless loop: a whole cycle later the picture is the same.
    EXPECT_EQ(drawLowerThirdBar(style, text, 1.5 + cycle / 90 * 7).pixel(640, 40), later.pixel(640, 40));
}

TEST(BarBitmap, GoogleMeetBarIs119HighWithTheTextLifted) {
    LowerThirdBarStyle style = plainStyle();
    style.barColorHex = "204060";
    style.barLift = 36;
    QImage bar = drawLowerThirdBar(style, "Lifted", 1000);
    ASSERT_EQ(bar.size(), QSize(1280, 119));
    EXPECT_EQ(bar.pixel(640, 0), qRgb(255, 255, 255));  // the top line stays at the top
    // No text in the bottom 36 rows, which carry the bar colour and, at the very bottom, the shade.
    for (int row = 83; row < 119; ++row)
        for (int x = 0; x < 1280; x += 7) ASSERT_FALSE(isText(bar, x, row)) << row;
    EXPECT_EQ(bar.pixel(100, 90), qRgb(0x20, 0x40, 0x60));
    EXPECT_LT(luminance(bar.pixel(100, 118)), luminance(bar.pixel(100, 90)));
    int top = -1, bottom = -1;
    for (int row = 4; row < 119; ++row)  // below the top line
        for (int x = 500; x < 780; ++x)
            if (isText(bar, x, row)) {
                if (top < 0) top = row;
                bottom = row;
            }
    EXPECT_NEAR((top + bottom + 1) / 2.0, 119 - 36 - 80.095 / 2, 1.5);
}

TEST(BarBitmap, RightToLeftScriptsAndColourEmojiRender) {
    LowerThirdBarStyle style = plainStyle();
    for (const char* s : {"שלום עולם", "مرحبا بالعالم"}) {
        const QString text = QString::fromUtf8(s);
        EXPECT_GT(measureBarText(text).width, 50) << s;
        QImage bar = drawLowerThirdBar(style, text, 1000);
        EXPECT_GT(lastTextColumn(bar) - firstTextColumn(bar), 50) << s;
    }
    // The sun is drawn in its own colours (yellow/orange), not in the white text colour.
    QImage bar = drawLowerThirdBar(style, QString::fromUtf8("☀️"), 1000);
    int coloured = 0;
    for (int row = 0; row < 83; ++row)
        for (int x = 560; x < 720; ++x) {
            QRgb c = bar.pixel(x, row);
            if (qRed(c) > 180 && qGreen(c) > 80 && qBlue(c) < 90) ++coloured;
        }
    EXPECT_GT(coloured, 100);
}

TEST(BarBitmap, TheRendererKeepsItsWorkBetweenFrames) {
    LowerThirdBarRenderer r;
    LowerThirdBarStyle style;
    style.alwaysScroll = true;
    for (int i = 0; i < 30; ++i) r.image(style, "Breaking news", 1000 + i / 30.0);
    EXPECT_EQ(r.backgroundDraws(), 1);
    EXPECT_EQ(r.textLayouts(), 1);
    r.image(style, "Other news", 1001);
    EXPECT_EQ(r.textLayouts(), 2);
    EXPECT_EQ(r.backgroundDraws(), 1);
    style.barColorHex = "FF0000";
    r.image(style, "Other news", 1001);
    EXPECT_EQ(r.backgroundDraws(), 2);
    EXPECT_EQ(r.textLayouts(), 2);
    style.barLift = 36;
    EXPECT_EQ(r.image(style, "Other news", 1001).height(), 119);
    EXPECT_EQ(r.backgroundDraws(), 3);
}

TEST(BarInFrame, DrawnAtTheBottomWhileEnabled) {
    test::ScopedTestEnv env;
    QImage cam(1280, 720, QImage::Format_ARGB32_Premultiplied);
    cam.fill(qRgb(0, 200, 0));
    std::vector<uint8_t> frame(kFrameBytes, 0);
    FrameComposer composer(2);
    auto rowPixel = [&](int x, int rowFromTop) {
        uint32_t v;
        std::memcpy(&v, frame.data() + (size_t(rowFromTop) * kFrameWidth + x) * 4, 4);
        return v;
    };
    composer.render(cam, nullptr, 1000, frame.data());
    EXPECT_EQ(rowPixel(640, 680), qRgb(0, 200, 0));

    settings::setLowerThirdEnabled(true);
    settings::setOverlayImageEnabled(false);
    composer.render(cam, nullptr, 1000, frame.data());
    EXPECT_EQ(rowPixel(20, 680), qRgb(0x18, 0x8A, 0x8A));
    EXPECT_EQ(rowPixel(20, 637), qRgb(255, 255, 255));  // top line of the 83-pixel bar
    EXPECT_EQ(rowPixel(20, 630), qRgb(0, 200, 0));

    settings::setLowerThirdGoogleMeetSafeArea(true);
    settings::setLowerThirdBarOpacity(0.5);
    composer.render(cam, nullptr, 1000, frame.data());
    EXPECT_EQ(rowPixel(20, 601), qRgb(255, 255, 255));  // 119 high
    const QRgb half = rowPixel(20, 660);
    EXPECT_GT(qGreen(half), 0x8A);  // the picture shows through
    EXPECT_LT(qGreen(half), 200);
    EXPECT_GT(qRed(half), 0);
}

TEST(BarBitmap, AVeryLongTickerDrawsOnlyWhatIsSeen) {
    LowerThirdBarStyle style = plainStyle();
    QString text;
    for (int i = 0; i < 1500; ++i) text += QStringLiteral("Headline %1 · ").arg(i);
    const BarTextMetrics m = measureBarText(text);
    // Cut to the longest text the bar takes, still wider than the strip pieces kept at once.
    ASSERT_GT(m.cycle, 50000);
    LowerThirdBarRenderer r;
    for (double t : {0.0, 100.0, 2000.0, 1e6}) {
        QImage bar = r.image(style, text, t);
        ASSERT_EQ(bar.size(), QSize(1280, 83));
        EXPECT_GT(lastTextColumn(bar) - firstTextColumn(bar), 1000) << t;  // text across the bar
    }
    EXPECT_EQ(r.textLayouts(), 1);
}

TEST(BarText, BreaksTabsAndControlsAreDrawnAsOneSpaceEach) {
    EXPECT_EQ(barLineText(QString::fromUtf16(u"a\u2028b\u2029c\nd\re\tf\x01g\x7Fh\x85i")), "a b c d e f g h i");
    // Runs stay one space per character, so positions in the text keep their places.
    EXPECT_EQ(barLineText("a\r\n\tb"), "a   b");
    EXPECT_EQ(BarTextLine("Line one\nLine two", bar::kFontPixels).text(), "Line one Line two");

    // The sources' texts stay as they were written; only the drawing changes them.
    test::ScopedTestEnv env;
    settings::setLowerThirdText("Line one\nLine two");
    EXPECT_EQ(lowerThirdBarText(), "Line one\nLine two");
}

TEST(BarBitmap, AHeadlineWithALineSeparatorKeepsTheRestOfTheTicker) {
    const QString sep = QString::fromUtf16(bar::kTickerSeparator).left(7);  // "   •   "
    const QString ticker = QString::fromUtf16(u"Storm\u2028warning") + sep + "Markets up" + sep + "Rain";
    const QString spaced = "Storm warning" + sep + "Markets up" + sep + "Rain";
    const BarTextLine line(ticker, bar::kFontPixels);
    EXPECT_EQ(line.text(), spaced);
    const BarTextMetrics m = measureBarText(ticker);
    EXPECT_GT(m.width, measureBarText("Storm warning   •   Markets up").width + 50);
    EXPECT_DOUBLE_EQ(m.width, measureBarText(spaced).width);
    EXPECT_DOUBLE_EQ(m.cycle, measureBarText(spaced).cycle);
    ASSERT_LE(m.width, 1232);

    // Drawn still at the left: every headline and both bullets are there, across the measured width.
    LowerThirdBarStyle style = plainStyle();
    style.alignment = LowerThirdTextAlignment::leading;
    const QImage bar = drawLowerThirdBar(style, ticker, 1000);
    EXPECT_NEAR(firstTextColumn(bar), 24, 1);
    EXPECT_NEAR(lastTextColumn(bar) + 1 - firstTextColumn(bar), m.width, 2);
    // Three spaces either side of a bullet leave the widest gaps: five runs, headline bullet
    // headline bullet headline.
    EXPECT_EQ(runStarts(bar, 20).size(), 5u);
}

TEST(BarBitmap, ANewlineIsDrawnAsASpace) {
    LowerThirdBarStyle style = plainStyle();
    style.alignment = LowerThirdTextAlignment::leading;
    const QString text = "Line one\nLine two";
    const BarTextMetrics joined = measureBarText("Line one Line two");
    EXPECT_DOUBLE_EQ(measureBarText(text).width, joined.width);
    const QImage bar = drawLowerThirdBar(style, text, 1000);
    EXPECT_NEAR(firstTextColumn(bar), 24, 1);
    EXPECT_NEAR(lastTextColumn(bar) + 1 - firstTextColumn(bar), joined.width, 2);
    // A word gap between "one" and "Line": four words drawn, not three.
    EXPECT_EQ(runStarts(bar, 8).size(), 4u);
}

TEST(BarBitmap, ATabIsOneSpaceWide) {
    const BarTextLine tab("A\tB", bar::kFontPixels), space("A B", bar::kFontPixels), none("AB", bar::kFontPixels);
    const double tabWidth = tab.xAt(2) - tab.xAt(1);
    EXPECT_DOUBLE_EQ(tabWidth, space.xAt(2) - space.xAt(1));
    EXPECT_GT(tabWidth, 5);
    EXPECT_LT(tabWidth, 0.4 * bar::kFontPixels);  // a space, not a tab stop
    EXPECT_DOUBLE_EQ(tab.advance(), space.advance());
    EXPECT_GT(tab.advance(), none.advance() + 5);

    LowerThirdBarStyle style = plainStyle();
    style.alignment = LowerThirdTextAlignment::leading;
    const QImage bar = drawLowerThirdBar(style, "A\tB", 1000);
    EXPECT_NEAR(lastTextColumn(bar) + 1 - firstTextColumn(bar), measureBarText("A B").width, 2);
}
