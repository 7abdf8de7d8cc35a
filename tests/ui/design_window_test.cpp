#include "ui/LowerThirdDesignWindow.h"

#include "pipeline/CameraEngine.h"
#include "pipeline/FrameBuffer.h"
#include "pipeline/LowerThirdBar.h"
#include "pipeline/Settings.h"
#include "sources/LowerThirdModes.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"
#include "tests/sources/SourcesTestUtil.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/WindowTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"
#include "ui/StandardWindows.h"

#include <QCheckBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTcpServer>

#include <gtest/gtest.h>

using namespace ostrela;
using Mode = LowerThirdPreviewLayout::Mode;

namespace {

void setModes(bool weather, bool nowPlaying, bool rss, bool videoTitle) {
    settings::setWeatherEnabled(weather);
    settings::setNowPlayingEnabled(nowPlaying);
    settings::setRssFeedEnabled(rss);
    settings::setLowerThirdVideoTitleEnabled(videoTitle);
}

std::array<bool, 4> modes() {
    return {settings::weatherEnabled(), settings::nowPlayingEnabled(), settings::rssFeedEnabled(),
            settings::lowerThirdVideoTitleEnabled()};
}

const QSizeF kPreviewSize(360, 130);

}  // namespace

TEST(LowerThirdDesign, SpeedLabelDropsTheFraction) {
    EXPECT_EQ(scrollSpeedLabel(89.9), "89 pt/s");
    EXPECT_EQ(scrollSpeedLabel(90.0), "90 pt/s");
    EXPECT_EQ(scrollSpeedLabel(30.0), "30 pt/s");
    EXPECT_EQ(scrollSpeedLabel(239.99), "239 pt/s");
    // Odd stored values still give a label.
    EXPECT_EQ(scrollSpeedLabel(std::nan("")), "0 pt/s");
}

TEST(LowerThirdDesign, ModeExclusion) {
    test::ScopedTestEnv env;
    LowerThirdDesignModel model(nullptr, nullptr, nullptr);

    // Now playing on while weather and video title are on turns both off; off again leaves all off.
    setModes(true, false, false, true);
    model.setModeEnabled(LowerThirdMode::nowPlaying, true);
    EXPECT_EQ(modes(), (std::array{false, true, false, false}));
    model.setModeEnabled(LowerThirdMode::nowPlaying, false);
    EXPECT_EQ(modes(), (std::array{false, false, false, false}));

    // Each mode turned on turns the other three off.
    const std::array all{LowerThirdMode::weather, LowerThirdMode::nowPlaying, LowerThirdMode::rssFeed,
                         LowerThirdMode::videoTitle};
    for (size_t i = 0; i < all.size(); ++i) {
        setModes(true, true, true, true);
        model.setModeEnabled(all[i], true);
        std::array<bool, 4> expected{};
        expected[i] = true;
        EXPECT_EQ(modes(), expected) << i;
    }
    // Turning one off touches nothing else.
    setModes(true, false, true, false);
    model.setModeEnabled(LowerThirdMode::weather, false);
    EXPECT_EQ(modes(), (std::array{false, false, true, false}));
}

TEST(LowerThirdDesign, ModeExclusionThroughTheWindowAndTheModesObject) {
    test::ScopedTestEnv env;
    setModes(true, false, false, true);
    LowerThirdModes modesObject(nullptr, nullptr, nullptr);
    LowerThirdDesignWindow window(nullptr, nullptr, nullptr, &modesObject);
    EXPECT_TRUE(window.modeToggle(LowerThirdMode::weather)->isChecked());
    EXPECT_TRUE(window.modeToggle(LowerThirdMode::videoTitle)->isChecked());

    window.modeToggle(LowerThirdMode::rssFeed)->click();
    EXPECT_EQ(modes(), (std::array{false, false, true, false}));
    EXPECT_TRUE(modesObject.rssFeedEnabled());
    EXPECT_FALSE(modesObject.weatherEnabled());
    // The other toggles follow.
    EXPECT_FALSE(window.modeToggle(LowerThirdMode::weather)->isChecked());
    EXPECT_FALSE(window.modeToggle(LowerThirdMode::videoTitle)->isChecked());
    EXPECT_TRUE(window.modeToggle(LowerThirdMode::rssFeed)->isChecked());
    window.modeToggle(LowerThirdMode::rssFeed)->click();
    EXPECT_EQ(modes(), (std::array{false, false, false, false}));
}

TEST(LowerThirdDesign, PreviewTextChoice) {
    LowerThirdTextInputs in;
    in.lowerThirdText = "Typed";
    in.weatherDisplayText = "Weather line";
    in.nowPlayingDisplayText = "Song line";
    in.rssFeedDisplayText = "Ticker";
    in.videoTitleText = "Clip";
    EXPECT_EQ(lowerThirdPreviewText(in), "Typed");
    // Now playing is not previewed: the typed text shows.
    in.nowPlayingEnabled = true;
    EXPECT_EQ(lowerThirdPreviewText(in), "Typed");
    in.weatherEnabled = true;
    EXPECT_EQ(lowerThirdPreviewText(in), "Weather line");
    in.rssFeedEnabled = true;
    EXPECT_EQ(lowerThirdPreviewText(in), "Ticker");
    in.videoTitleEnabled = true;
    EXPECT_EQ(lowerThirdPreviewText(in), "Clip");
    // No playing video: the title falls through to the feed.
    in.videoTitleText.clear();
    EXPECT_EQ(lowerThirdPreviewText(in), "Ticker");
}

TEST(LowerThirdDesign, PreviewInputsFromSettingsAndServices) {
    test::ScopedTestEnv env;
    settings::setLowerThirdText("Typed");
    settings::setNowPlayingDisplayText("Song line");
    setModes(false, true, false, false);
    LowerThirdPreviewInputs in = LowerThirdPreviewInputs::fromSettings("Sunny", "Head one");
    EXPECT_EQ(in.text, "Typed");
    EXPECT_EQ(in.placeholder, std::optional<QString>("Lower-third text appears here"));
    EXPECT_FALSE(in.alwaysScroll);
    // The feed: its service's line, always scrolling, laid out as a ticker.
    setModes(false, false, true, false);
    in = LowerThirdPreviewInputs::fromSettings("Sunny", "Head one");
    EXPECT_EQ(in.text, "Head one");
    EXPECT_TRUE(in.alwaysScroll);
    EXPECT_TRUE(in.isTicker);
    // Weather: the service's line, not the stored one.
    settings::setWeatherDisplayText("Stored weather");
    setModes(true, false, false, false);
    in = LowerThirdPreviewInputs::fromSettings("Sunny", "Head one");
    EXPECT_EQ(in.text, "Sunny");
    // The look comes from the settings.
    settings::setLowerThirdBarColorHex("D32F2F");
    settings::setLowerThirdTextAlignment(LowerThirdTextAlignment::trailing);
    settings::setLowerThirdAlwaysScroll(true);
    settings::setLowerThirdPreviewFrozen(true);
    settings::setLowerThirdTextShadowEnabled(false);
    in = LowerThirdPreviewInputs::fromSettings("", "");
    EXPECT_EQ(in.barColorHex, "D32F2F");
    EXPECT_EQ(in.alignment, LowerThirdTextAlignment::trailing);
    EXPECT_TRUE(in.alwaysScroll);
    EXPECT_TRUE(in.previewFrozen);
    EXPECT_FALSE(in.textShadowEnabled);
}

TEST(LowerThirdDesign, PreviewGeometry) {
    LowerThirdPreviewInputs in;
    in.text = "Hi";
    in.placeholder = QString(design::kPlaceholder);
    LowerThirdPreviewLayout l = layoutLowerThirdPreview(in, kPreviewSize, 0);
    EXPECT_DOUBLE_EQ(l.topLineHeight, 130 * 0.035);
    EXPECT_DOUBLE_EQ(l.textHeight, 130 - 130 * 0.035);
    EXPECT_DOUBLE_EQ(l.fontSize, (130 - 130 * 0.035) * 0.46);
    EXPECT_DOUBLE_EQ(l.inset, 360 * 0.01875);
    EXPECT_DOUBLE_EQ(l.usableWidth, 360 - 2 * 360 * 0.01875);
    EXPECT_DOUBLE_EQ(l.gradientHeight, (130 - 130 * 0.035) * 0.12);
    // A thin bar keeps a top line of at least 1.5 and a gradient of at least 3.
    l = layoutLowerThirdPreview(in, QSizeF(360, 20), 0);
    EXPECT_DOUBLE_EQ(l.topLineHeight, 1.5);
    EXPECT_DOUBLE_EQ(l.gradientHeight, 3.0);

    // Short text stands still, placed by the alignment.
    ASSERT_EQ((l = layoutLowerThirdPreview(in, kPreviewSize, 0)).mode, Mode::still);
    ASSERT_EQ(l.copyX.size(), 1u);
    EXPECT_NEAR(l.copyX[0], (360 - l.textWidth) / 2, 1e-9);
    in.alignment = LowerThirdTextAlignment::leading;
    EXPECT_NEAR(layoutLowerThirdPreview(in, kPreviewSize, 0).copyX[0], l.inset, 1e-9);
    in.alignment = LowerThirdTextAlignment::trailing;
    EXPECT_NEAR(layoutLowerThirdPreview(in, kPreviewSize, 0).copyX[0], 360 - l.inset - l.textWidth, 1e-9);
}

TEST(LowerThirdDesign, PreviewModesPlaceholderScrollingAndPaused) {
    LowerThirdPreviewInputs in;
    in.placeholder = QString(design::kPlaceholder);
    // An empty (or blank) text shows the placeholder.
    in.text = "  \n ";
    LowerThirdPreviewLayout l = layoutLowerThirdPreview(in, kPreviewSize, 0);
    EXPECT_EQ(l.mode, Mode::placeholder);
    EXPECT_EQ(l.text, "Lower-third text appears here");
    EXPECT_DOUBLE_EQ(l.messageFontSize, 0.7 * l.fontSize);
    // A short text with "Allow Any Text to Scroll" on scrolls.
    in.text = "Hi";
    in.alwaysScroll = true;
    EXPECT_EQ(layoutLowerThirdPreview(in, kPreviewSize, 0).mode, Mode::scrolling);
    // A long text scrolls on its own; frozen, it shows the paused message instead.
    in.alwaysScroll = false;
    in.text = "A headline far too long to fit into the little preview bar";
    EXPECT_EQ(layoutLowerThirdPreview(in, kPreviewSize, 0).mode, Mode::scrolling);
    in.previewFrozen = true;
    l = layoutLowerThirdPreview(in, kPreviewSize, 0);
    EXPECT_EQ(l.mode, Mode::paused);
    EXPECT_EQ(l.text, "Live Preview Paused To Save CPU");
    // Frozen but short and still: the text itself shows.
    in.text = "Hi";
    EXPECT_EQ(layoutLowerThirdPreview(in, kPreviewSize, 0).mode, Mode::still);
}

TEST(LowerThirdDesign, PreviewScrollsWithTheWallClock) {
    LowerThirdPreviewInputs in;
    in.text = "Hi";
    in.alwaysScroll = true;
    in.scrollSpeed = 128;
    const LowerThirdPreviewLayout at0 = layoutLowerThirdPreview(in, kPreviewSize, 0);
    ASSERT_EQ(at0.mode, Mode::scrolling);
    ASSERT_GT(at0.cycle, at0.textWidth);  // the text plus its gap
    // At t = 0 the first copy starts at the right edge; copies follow one cycle apart until −2 cycles.
    EXPECT_DOUBLE_EQ(at0.copyX.front(), 360);
    for (size_t i = 1; i < at0.copyX.size(); ++i) EXPECT_DOUBLE_EQ(at0.copyX[i - 1] - at0.copyX[i], at0.cycle);
    EXPECT_GT(at0.copyX.back(), -2 * at0.cycle);
    EXPECT_LE(at0.copyX.back() - at0.cycle, -2 * at0.cycle);
    // One second later the text has moved speed × W / 1280 points left (0.1 s: 3.6 points).
    const LowerThirdPreviewLayout at01 = layoutLowerThirdPreview(in, kPreviewSize, 0.1);
    EXPECT_NEAR(at0.copyX.front() - at01.copyX.front(), 0.1 * 128 * 360 / 1280, 1e-9);
    // A whole number of cycles later it is back where it was.
    const double period = at0.cycle / (128 * 360.0 / 1280);
    EXPECT_NEAR(layoutLowerThirdPreview(in, kPreviewSize, 7 * period).copyX.front(), 360, 1e-6);
    // Frame times are large (seconds since 2001); the phase stays within one cycle.
    const LowerThirdPreviewLayout late = layoutLowerThirdPreview(in, kPreviewSize, 8.1e8);
    EXPECT_GT(late.copyX.front(), 360 - at0.cycle - 1e-6);
    EXPECT_LE(late.copyX.front(), 360);
}

TEST(LowerThirdDesign, PreviewPaintsBarTopLineTextAndShadow) {
    LowerThirdPreviewInputs in;
    in.text = "MMMM";
    in.barColorHex = "1565C0";
    in.textColorHex = "FFD100";
    in.showBottomEdgeGradient = false;
    auto render = [&](const LowerThirdPreviewInputs& inputs) {
        QImage img(360, 130, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::black);
        QPainter p(&img);
        paintLowerThirdPreview(p, QRectF(0, 0, 360, 130), inputs, 0);
        p.end();
        return img.convertToFormat(QImage::Format_ARGB32);
    };
    const QImage img = render(in);
    // Bar colour in a corner below the top line; white top line.
    const QRgb corner = img.pixel(3, 120);
    EXPECT_NEAR(qRed(corner), 0x15, 2);
    EXPECT_NEAR(qGreen(corner), 0x65, 2);
    EXPECT_NEAR(qBlue(corner), 0xC0, 2);
    EXPECT_EQ(img.pixel(180, 1), qRgb(255, 255, 255));
    // The text sits in the middle band in the text colour (gold: red high, blue low).
    int gold = 0;
    for (int y = 20; y < 120; ++y)
        for (int x = 100; x < 260; ++x) {
            const QRgb p = img.pixel(x, y);
            gold += qRed(p) > 220 && qGreen(p) > 180 && qBlue(p) < 60;
        }
    EXPECT_GT(gold, 500);
    // The shadow darkens the bar just below and right of the glyphs; without it nothing darker than the bar.
    auto darkest = [](const QImage& im) {
        int m = 255 * 3;
        for (int y = 10; y < 128; ++y)
            for (int x = 0; x < im.width(); ++x) {
                const QRgb p = im.pixel(x, y);
                m = std::min(m, qRed(p) + qGreen(p) + qBlue(p));
            }
        return m;
    };
    EXPECT_LT(darkest(img), 0x15 + 0x65 + 0xC0 - 60);
    in.textShadowEnabled = false;
    EXPECT_GE(darkest(render(in)), 0x15 + 0x65 + 0xC0 - 6);
    // Opacity 0: the black backdrop shows through the bar.
    in.barOpacity = 0;
    EXPECT_LT(qRed(render(in).pixel(3, 120)) + qBlue(render(in).pixel(3, 120)), 6);
    // The bottom gradient darkens the last rows.
    in.barOpacity = 1;
    in.showBottomEdgeGradient = true;
    const QImage shaded = render(in);
    EXPECT_LT(qBlue(shaded.pixel(3, 129)), 0xC0 - 30);
    EXPECT_NEAR(qBlue(shaded.pixel(3, 100)), 0xC0, 2);
}

TEST(LowerThirdDesign, PaintedTickerMovesLeftAtTheScaledSpeed) {
    LowerThirdPreviewInputs in;
    in.text = QString::fromUtf16(u"Alpha news   \u2022   Beta story   \u2022   Gamma");
    in.isTicker = true;
    in.alwaysScroll = true;
    in.scrollSpeed = 128;  // 128 × 360 / 1280 = 36 points per second in the preview
    in.textShadowEnabled = true;
    auto profile = [&](double t) {
        QImage img(360, 130, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::black);
        QPainter p(&img);
        paintLowerThirdPreview(p, QRectF(0, 0, 360, 130), in, t);
        p.end();
        std::vector<int> columns(360, 0);
        for (int y = 10; y < 125; ++y)
            for (int x = 0; x < 360; ++x) columns[x] += qRed(img.pixel(x, y)) > 200 && qBlue(img.pixel(x, y)) > 200;
        return columns;
    };
    const std::vector<int> a = profile(5000.0), b = profile(5001.0);
    // The shift that lines the two pictures up best.
    int bestShift = 0;
    long bestScore = -1;
    for (int shift = 0; shift < 120; ++shift) {
        long score = 0;
        for (int x = 0; x + shift < 360; ++x) score += long(a[x + shift]) * b[x];
        if (score > bestScore) bestScore = score, bestShift = shift;
    }
    EXPECT_GT(bestScore, 0);
    EXPECT_NEAR(bestShift, 36, 1);
}

TEST(LowerThirdDesign, FrozenPreviewShowsThePausedStillWhileTheCameraBarKeepsScrolling) {
    test::ScopedTestEnv env;
    const QString longText = "A headline far too long to fit into the little preview bar, and longer still";
    settings::setLowerThirdText(longText);
    settings::setLowerThirdTextColorHex("FFFFFF");
    settings::setLowerThirdBarColorHex("000000");
    settings::setLowerThirdTextShadowEnabled(false);
    settings::setLowerThirdPreviewFrozen(true);
    LowerThirdPreviewInputs in = LowerThirdPreviewInputs::fromSettings("", "");
    in.showBottomEdgeGradient = false;
    auto render = [&](double t) {
        QImage img(360, 130, QImage::Format_ARGB32_Premultiplied);
        QPainter p(&img);
        paintLowerThirdPreview(p, QRectF(0, 0, 360, 130), in, t);
        p.end();
        return img.convertToFormat(QImage::Format_ARGB32);
    };
    // White text at 0.6 over black: the message's pixels reach about 153, never full white.
    const QImage still = render(1000.0);
    int message = 0, fullWhite = 0;
    for (int y = 10; y < 125; ++y)
        for (int x = 0; x < 360; ++x) {
            const int v = qRed(still.pixel(x, y));
            message += v > 120 && v < 170;
            fullWhite += v > 200;
        }
    EXPECT_GT(message, 100);
    EXPECT_EQ(fullWhite, 0);
    EXPECT_EQ(render(1007.0), still);  // no animation

    // The camera's bar ignores the preview setting: a second later its text has moved.
    const LowerThirdBarStyle style = LowerThirdBarStyle::fromSettings();
    const QImage a = drawLowerThirdBar(style, longText, 1000.0);
    const QImage b = drawLowerThirdBar(style, longText, 1001.0);
    ASSERT_FALSE(a.isNull());
    int changed = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) changed += a.pixel(x, y) != b.pixel(x, y);
    EXPECT_GT(changed, 1000);
}

TEST(LowerThirdDesign, RefreshNowWithoutACachedCodeDoesNothing) {
    test::ScopedTestEnv env;
    // Any request would reach this server.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", base.toUtf8());
    qputenv("OSTRELA_WEATHER_FORECAST_URL", base.toUtf8());
    WeatherService weather;
    RSSFeedService feed;
    weather.update(true, "");  // empty ZIP code: nothing is served
    feed.update(true, "");
    LowerThirdDesignModel model(&weather, nullptr, &feed);
    QSignalSpy weatherDone(&weather, &WeatherService::refreshFinished);
    QSignalSpy feedDone(&feed, &RSSFeedService::refreshFinished);
    model.refreshWeatherNow();
    model.refreshFeedNow();
    QCoreApplication::processEvents();
    EXPECT_FALSE(server.hasPendingConnections());
    EXPECT_EQ(weatherDone.count(), 0);
    EXPECT_EQ(feedDone.count(), 0);
    EXPECT_TRUE(weather.lastError().isNull());
    EXPECT_FALSE(weather.cachedZip().has_value());
    qunsetenv("OSTRELA_WEATHER_GEOCODING_URL");
    qunsetenv("OSTRELA_WEATHER_FORECAST_URL");
}

TEST(LowerThirdDesign, FeedRefreshNowFetchesTheCachedAddressOnceMore) {
    test::ScopedTestEnv env;
    test::HttpTestServer server;
    server.answer("/feed.xml", 200,
                  "<rss><channel><item><title>First headline</title></item>"
                  "<item><title>Second headline</title></item></channel></rss>");
    RSSFeedService feed;
    feed.update(true, server.url("/feed.xml"));
    ASSERT_TRUE(test::waitFor([&] { return server.count("/feed.xml") == 1 && !feed.displayText().isEmpty(); }));
    LowerThirdDesignWindow window(nullptr, nullptr, &feed);
    QSignalSpy done(&feed, &RSSFeedService::refreshFinished);
    for (QPushButton* b : window.findChildren<QPushButton*>())
        if (b->objectName() == "feedRefreshNow") b->click();
    ASSERT_TRUE(test::waitFor([&] { return done.count() == 1; }));
    EXPECT_EQ(server.count("/feed.xml"), 2);
    // The preview and the caption show the service's line while the feed mode is on.
    settings::setRssFeedEnabled(true);
    window.reloadFromSettings();
    EXPECT_EQ(window.preview()->inputs().text, feed.displayText());
    EXPECT_TRUE(feed.displayText().startsWith("First headline"));
}

TEST(LowerThirdDesign, WindowControlsWriteSettings) {
    test::ScopedTestEnv env;
    settings::setLowerThirdScrollSpeed(89.9);
    LowerThirdDesignWindow window(nullptr, nullptr, nullptr);
    EXPECT_EQ(window.width(), 360);
    EXPECT_EQ(window.height(), 580);
    EXPECT_EQ(window.windowTitle(), "Lower Third Design");
    EXPECT_EQ(window.speedLabel()->text(), "89 pt/s");
    EXPECT_EQ(window.speedLabel()->width(), 64);
    EXPECT_EQ(window.speedSlider()->minimum(), 300);
    EXPECT_EQ(window.speedSlider()->maximum(), 2400);
    window.speedSlider()->setValue(1205);
    EXPECT_DOUBLE_EQ(settings::lowerThirdScrollSpeed(), 120.5);
    EXPECT_EQ(window.speedLabel()->text(), "120 pt/s");

    window.setBarColor(QColor(0xD3, 0x2F, 0x2F));
    EXPECT_EQ(settings::lowerThirdBarColorHex(), "D32F2F");
    window.setTextColor(QColor(0xFF, 0xD1, 0x00));
    EXPECT_EQ(settings::lowerThirdTextColorHex(), "FFD100");
    EXPECT_EQ(window.preview()->inputs().barColorHex, "D32F2F");

    EXPECT_EQ(window.videoTitleCaptionLabel()->text(),
              QString::fromUtf8("No video playing \u2014 the bar shows your typed text until one starts."));
    settings::setLowerThirdVideoTitleText("Intro.mp4");
    window.reloadFromSettings();
    EXPECT_EQ(window.videoTitleCaptionLabel()->text(), "Now showing: Intro.mp4");
    EXPECT_EQ(window.scrollingNoteLabel()->text(),
              QString::fromUtf8("Only kicks in when the text is too long to fit the bar \u2014 short text stays put."));
    EXPECT_EQ(window.tickerNoteLabel()->text(), "The RSS ticker always scrolls regardless of this setting.");
    for (QCheckBox* box : window.findChildren<QCheckBox*>())
        if (box->text() == "Allow Any Text to Scroll") box->click();
    EXPECT_TRUE(settings::lowerThirdAlwaysScroll());
    EXPECT_EQ(window.scrollingNoteLabel()->text(), "Text scrolls continuously regardless of length, at the speed set above.");
    EXPECT_EQ(window.tickerNoteLabel()->text(), "The RSS ticker always scrolls, regardless of this setting.");
    // The preview follows: short text now scrolls.
    EXPECT_TRUE(window.preview()->inputs().alwaysScroll);
    // The wall-clock redraws run only while the preview is on screen and its text scrolls.
    EXPECT_FALSE(window.preview()->isAnimating());
    settings::setLowerThirdText("Short");
    window.show();
    EXPECT_TRUE(window.preview()->isAnimating());
    for (QCheckBox* box : window.findChildren<QCheckBox*>())
        if (box->text() == "Freeze Scrolling Preview to Save CPU") box->click();
    EXPECT_TRUE(settings::lowerThirdPreviewFrozen());
    EXPECT_FALSE(window.preview()->isAnimating());
    window.hide();
}

TEST(LowerThirdDesign, Screenshot) {
    test::ScopedTestEnv env;
    settings::setLowerThirdText("Live from the spare room");
    settings::setLowerThirdScrollSpeed(89.9);
    LowerThirdDesignWindow window(nullptr, nullptr, nullptr);
    window.preview()->setFixedTime(3.0);
    const QImage shot = test::grabWindow(&window);
    ASSERT_EQ(shot.width(), 360);
    // The preview's bar colour (188A8A) fills the area around the text near the top of the window.
    const QPoint origin = window.preview()->mapTo(&window, QPoint(0, 0));
    const QRect barCorner(origin.x() + 2, origin.y() + 8, 10, 12);  // between the top line and the glyphs
    EXPECT_NEAR(test::meanChannel(shot, barCorner, 0), 0x18, 6);
    EXPECT_NEAR(test::meanChannel(shot, barCorner, 1), 0x8A, 6);
    EXPECT_NEAR(test::meanChannel(shot, barCorner, 2), 0x8A, 6);
    test::saveScreenshot(shot, "lower_third_design_window.png");
}

namespace {

// A pixel whose channels differ by more than this is coloured: white text, its black shadow and a
// grey bar never are.
bool coloured(int r, int g, int b) { return std::max({r, g, b}) - std::min({r, g, b}) > 60; }

struct ColourCount {
    int inside = 0;   // within the emoji's columns
    int outside = 0;  // anywhere else in the bar
};

// The bar of the newest published frame: its bottom 83 rows of "frame.raw" (BGRA, top row first).
ColourCount publishedBarColours(const uint8_t* frame, double emojiLeft, double emojiRight) {
    ColourCount c;
    for (int row = kFrameHeight - bar::kHeight; row < kFrameHeight; ++row)
        for (int x = 0; x < kFrameWidth; ++x) {
            const uint8_t* p = frame + size_t(row) * kFrameStride + size_t(x) * 4;
            if (!coloured(p[2], p[1], p[0])) continue;
            (x >= emojiLeft - 2 && x <= emojiRight + 2 ? c.inside : c.outside)++;
        }
    return c;
}

ColourCount previewColours(const QImage& shot, double emojiLeft, double emojiRight) {
    ColourCount c;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const QRgb p = shot.pixel(x, y);
            if (!coloured(qRed(p), qGreen(p), qBlue(p))) continue;
            (x >= emojiLeft - 2 && x <= emojiRight + 2 ? c.inside : c.outside)++;
        }
    return c;
}

}  // namespace

// An emoji in the typed text is drawn in its own colours in the published frame and in the design
// window's preview, before and after the video-title mode is switched on and off again.
TEST(LowerThirdDesign, EmojiDrawnInTheFrameAndThePreviewAcrossTheVideoTitleMode) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    settings::setHasSeenOnboarding(true);
    settings::setVideoEffect(VideoEffect::none);
    settings::setOverlayImageEnabled(false);
    settings::setLowerThirdEnabled(true);
    settings::setLowerThirdBarColorHex("505050");
    settings::setLowerThirdTextColorHex("FFFFFF");
    const QString text = QString::fromUtf8("Go \xF0\x9F\x98\x80 go");  // U+1F600 at UTF-16 offsets 3–4
    settings::setLowerThirdText(text);
    installStandardWindows(*fx.app);
    MainWindow window(fx.app.get());
    window.show();
    auto* design = qobject_cast<LowerThirdDesignWindow*>(fx.app->openWindow(QString::fromLatin1(design::kWindowIdentifier)));
    ASSERT_TRUE(design);
    design->preview()->setFixedTime(1000.0);
    CameraEngine* engine = window.model()->cameraEngine();
    window.model()->toggleCamera();
    ASSERT_TRUE(test::waitUntil([&] { return engine->generation() >= 2; }, 20000));
    const uint8_t* frame = openFrameBuffer(false);
    ASSERT_NE(frame, nullptr);

    // Where the emoji sits: in the frame the still text is centred on its glyph box; in the
    // preview it stands where the preview's layout puts it.
    const BarTextMetrics m = measureBarText(text);
    const BarTextLine frameLine(text, bar::kFontPixels);
    const double pen = (bar::kWidth - m.width) * 0.5 - m.x0;
    const double frameLeft = pen + frameLine.xAt(3), frameRight = pen + frameLine.xAt(5);
    ASSERT_GT(frameRight - frameLeft, 20);

    auto nextFrames = [&] {
        const uint64_t g = engine->generation();
        ASSERT_TRUE(test::waitUntil([&] { return engine->generation() >= g + 2; }, 20000));
    };
    auto check = [&](const char* when, bool emojiShown) {
        nextFrames();
        const ColourCount published = publishedBarColours(frame, frameLeft, frameRight);
        const QImage shot = design->preview()->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const LowerThirdPreviewLayout l =
            layoutLowerThirdPreview(design->preview()->inputs(), QSizeF(shot.size()), 1000.0);
        if (!emojiShown) {
            EXPECT_EQ(published.inside + published.outside, 0) << when;
            EXPECT_EQ(previewColours(shot, 0, -10).outside, 0) << when;
            return;
        }
        EXPECT_GT(published.inside, 200) << when;
        EXPECT_LT(published.outside, published.inside / 20) << when;
        ASSERT_EQ(l.mode, LowerThirdPreviewLayout::Mode::still) << when;
        const BarTextLine previewLine(l.text, l.fontSize);
        const double left = l.copyX.front() + previewLine.xAt(3), right = l.copyX.front() + previewLine.xAt(5);
        const ColourCount preview = previewColours(shot, left, right);
        EXPECT_GT(preview.inside, 200) << when;
        EXPECT_LT(preview.outside, preview.inside / 20) << when;
    };

    check("before", true);
    settings::setLowerThirdVideoTitleText("Clip.mp4");  // as while a video plays
    design->modeToggle(LowerThirdMode::videoTitle)->click();
    ASSERT_TRUE(settings::lowerThirdVideoTitleEnabled());
    check("with the video title", false);
    design->modeToggle(LowerThirdMode::videoTitle)->click();
    ASSERT_FALSE(settings::lowerThirdVideoTitleEnabled());
    check("after", true);
    window.model()->toggleCamera();
}
