#include "sources/LowerThirdModes.h"

#include "pipeline/Settings.h"
#include "sources/NowPlayingService.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"
#include "tests/sources/SourcesTestUtil.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

using namespace ostrela;

TEST(LowerThirdText, SourcePriority) {
    LowerThirdTextInputs in;
    in.lowerThirdText = "Typed";
    in.weatherDisplayText = "Weather line";
    in.nowPlayingDisplayText = "Song line";
    in.rssFeedDisplayText = "Ticker";
    in.videoTitleText = "Clip";
    EXPECT_EQ(lowerThirdBarText(in), "Typed");
    in.weatherEnabled = true;
    EXPECT_EQ(lowerThirdBarText(in), "Weather line");
    in.nowPlayingEnabled = true;
    EXPECT_EQ(lowerThirdBarText(in), "Song line");
    in.rssFeedEnabled = true;
    EXPECT_EQ(lowerThirdBarText(in), "Ticker");
    in.videoTitleEnabled = true;
    EXPECT_EQ(lowerThirdTextSource(in), LowerThirdTextSource::videoTitle);
    EXPECT_EQ(lowerThirdBarText(in), "Clip");

    // Video-title mode without a playing video falls through; live modes show even an empty line.
    in.videoTitleText.clear();
    in.rssFeedDisplayText.clear();
    EXPECT_EQ(lowerThirdTextSource(in), LowerThirdTextSource::rssFeed);
    EXPECT_EQ(lowerThirdBarText(in), "");
    LowerThirdTextInputs videoOnly;
    videoOnly.videoTitleEnabled = true;
    videoOnly.lowerThirdText = "Typed";
    EXPECT_EQ(lowerThirdBarText(videoOnly), "Typed");
}

TEST(LowerThirdText, TheBarGetsEveryLineCutTheTypedTextStaysAsTyped) {
    test::ScopedTestEnv env;
    const QString ellipsis(QChar(0x2026));
    const QString typed(100000, QChar('t'));
    settings::setLowerThirdText(typed);
    EXPECT_EQ(lowerThirdBarText(), QString(299, QChar('t')) + ellipsis);
    EXPECT_EQ(settings::lowerThirdText(), typed);

    LowerThirdTextInputs in;
    in.lowerThirdText = "Typed";
    in.videoTitleEnabled = true;
    in.videoTitleText = QString(400, QChar('v'));
    EXPECT_EQ(lowerThirdBarText(in), QString(299, QChar('v')) + ellipsis);
    in.videoTitleEnabled = false;
    in.weatherEnabled = true;
    in.weatherDisplayText = QString(301, QChar('w'));
    EXPECT_EQ(lowerThirdBarText(in), QString(299, QChar('w')) + ellipsis);
    in.nowPlayingEnabled = true;
    in.nowPlayingDisplayText = QString(300, QChar('n'));  // exactly the length: whole
    EXPECT_EQ(lowerThirdBarText(in), in.nowPlayingDisplayText);
    // The feed's line is a ticker of cut headlines, far longer than one line; the bar bounds it.
    in.rssFeedEnabled = true;
    in.rssFeedDisplayText = QString(3000, QChar('r'));
    EXPECT_EQ(lowerThirdBarText(in), in.rssFeedDisplayText);
}

TEST(LowerThirdText, SettingsLevelModeRules) {
    test::ScopedTestEnv env;
    settings::setLowerThirdText("Typed");
    settings::setWeatherDisplayText("Sunny");
    settings::setRssFeedDisplayText("Ticker");
    EXPECT_EQ(lowerThirdBarText(), "Typed");

    lowerthird::setModeEnabled(LowerThirdMode::rssFeed, true);
    EXPECT_EQ(lowerThirdBarText(), "Ticker");
    // Weather on in the design panel turns the feed off; the bar shows the weather.
    lowerthird::setModeEnabled(LowerThirdMode::weather, true);
    EXPECT_FALSE(settings::rssFeedEnabled());
    EXPECT_EQ(lowerThirdBarText(), "Sunny");
    // Turning a mode off touches nothing else.
    lowerthird::setModeEnabled(LowerThirdMode::videoTitle, true);
    EXPECT_FALSE(settings::weatherEnabled());
    lowerthird::setModeEnabled(LowerThirdMode::videoTitle, false);
    EXPECT_FALSE(lowerthird::modeEnabled(LowerThirdMode::videoTitle));

    // A preset leaves RSS mode on: the ticker stays although the typed text changed.
    lowerthird::setModeEnabled(LowerThirdMode::rssFeed, true);
    settings::setNowPlayingEnabled(true);  // a second mode, as only the design panel prevents
    lowerthird::choosePreset("Be right back");
    EXPECT_EQ(settings::lowerThirdText(), "Be right back");
    EXPECT_FALSE(settings::nowPlayingEnabled());
    EXPECT_TRUE(settings::rssFeedEnabled());
    EXPECT_EQ(lowerThirdBarText(), "Ticker");

    // "Text Override" turns the three live modes off, video title stays.
    settings::setLowerThirdVideoTitleEnabled(true);
    settings::setWeatherEnabled(true);
    lowerthird::turnOffLiveModes();
    EXPECT_FALSE(settings::weatherEnabled());
    EXPECT_FALSE(settings::nowPlayingEnabled());
    EXPECT_FALSE(settings::rssFeedEnabled());
    EXPECT_TRUE(settings::lowerThirdVideoTitleEnabled());
    EXPECT_EQ(lowerThirdBarText(), "Be right back");
    settings::setLowerThirdVideoTitleText("Intro clip");
    EXPECT_EQ(lowerThirdBarText(), "Intro clip");
}

TEST(LowerThirdModesTest, ServicesFollowTheSwitches) {
    test::ScopedTestEnv env;
    test::HttpTestServer server;
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", server.base().toUtf8());
    qputenv("OSTRELA_WEATHER_FORECAST_URL", server.base().toUtf8());
    server.answer("/us/12345", 200,
                  "{\"places\": [{\"latitude\": \"40\", \"longitude\": \"-74\", \"place name\": \"Town\", "
                  "\"state abbreviation\": \"NJ\"}]}");
    server.answer("/v1/forecast?latitude=40&longitude=-74&current=temperature_2m,weather_code&temperature_unit=fahrenheit",
                  200, "{\"current\": {\"temperature_2m\": 61.5, \"weather_code\": 61}}");
    const QByteArray feed = "<rss><channel><item><title>Top story</title></item></channel></rss>";
    server.answer("/f", 200, feed);
    server.answer("/fe", 200, feed);

    settings::setRssFeedEnabled(true);
    settings::setRssFeedURL(server.url("/f"));
    settings::setWeatherZipCode("12345");
    WeatherService weather;
    auto bridge = std::make_shared<FakeMediaPlayerBridge>();
    NowPlayingService nowPlaying(bridge);
    RSSFeedService rss;
    LowerThirdModes modes(&weather, &nowPlaying, &rss);
    EXPECT_TRUE(modes.rssFeedEnabled());
    EXPECT_FALSE(rss.isRunning());  // settings alone start nothing

    modes.applyToServices();
    EXPECT_TRUE(rss.isRunning());
    EXPECT_FALSE(weather.isRunning());
    EXPECT_FALSE(nowPlaying.isPolling());
    ASSERT_TRUE(test::waitFor([&] { return rss.displayText() == "Top story"; }));
    EXPECT_EQ(lowerThirdBarText(), "Top story");

    // Typing in the URL field: every distinct text is handed over; each one that forms a URL restarts.
    modes.setRssFeedURL(server.url("/fe"));
    EXPECT_EQ(settings::rssFeedURL(), server.url("/fe"));
    ASSERT_TRUE(test::waitFor([&] { return server.count("/fe") == 1; }));
    modes.setRssFeedURL(server.url("/fe") + " ");
    modes.setRssFeedURL(server.url("/f"));
    ASSERT_TRUE(test::waitFor([&] { return server.count("/f") == 2; }));
    EXPECT_EQ(server.count("/fe"), 1);

    // Weather on: the feed goes off and stops, the weather refreshes and shows.
    QList<const char*> changes;
    QObject::connect(&modes, &LowerThirdModes::rssFeedEnabledChanged, [&] { changes << "rss"; });
    QObject::connect(&modes, &LowerThirdModes::weatherEnabledChanged, [&] { changes << "weather"; });
    modes.setWeatherEnabled(true);
    EXPECT_EQ(changes, (QList<const char*>{"weather", "rss"}));
    EXPECT_FALSE(rss.isRunning());
    EXPECT_FALSE(settings::rssFeedEnabled());
    EXPECT_TRUE(weather.isRunning());
    const QString line = QStringLiteral("Town, NJ: \U0001F327\uFE0F 62\u00B0F Rain");
    ASSERT_TRUE(test::waitFor([&] { return weather.displayText() == line; }));
    EXPECT_EQ(lowerThirdBarText(), line);

    // Now playing on, then a preset: both live modes off, text typed.
    modes.setNowPlayingEnabled(true);
    EXPECT_FALSE(weather.isRunning());
    EXPECT_TRUE(nowPlaying.isPolling());
    modes.choosePreset("Back soon");
    EXPECT_FALSE(nowPlaying.isPolling());
    EXPECT_EQ(modes.lowerThirdText(), "Back soon");
    EXPECT_EQ(lowerThirdBarText(), "Back soon");

    // A change written elsewhere is picked up by reload.
    settings::setRssFeedEnabled(true);
    int rssSignals = 0;
    QObject::connect(&modes, &LowerThirdModes::rssFeedEnabledChanged, [&] { ++rssSignals; });
    modes.reload();
    EXPECT_EQ(rssSignals, 1);
    EXPECT_TRUE(rss.isRunning());
    modes.turnOffLiveModes();
    EXPECT_FALSE(rss.isRunning());
    EXPECT_FALSE(modes.rssFeedEnabled());

    qunsetenv("OSTRELA_WEATHER_GEOCODING_URL");
    qunsetenv("OSTRELA_WEATHER_FORECAST_URL");
}

TEST(LowerThirdPresetsTest, SaveAddRemoveMoveAndStorage) {
    test::ScopedTestEnv env;
    SettingsStore* suite = SettingsStore::suite();
    ASSERT_TRUE(suite);
    suite->set(keys::lowerThirdPresets, QByteArray("[\"a\", 3"));
    {
        LowerThirdPresets corrupt;
        EXPECT_TRUE(corrupt.presets().isEmpty());
    }
    suite->remove(keys::lowerThirdPresets);

    LowerThirdPresets p;
    int changes = 0;
    QObject::connect(&p, &LowerThirdPresets::presetsChanged, [&] { ++changes; });
    settings::setLowerThirdText("  Break \n");
    EXPECT_TRUE(p.saveCurrentTextAsPreset());
    EXPECT_FALSE(p.saveCurrentTextAsPreset());
    settings::setLowerThirdText("break");  // case matters
    EXPECT_TRUE(p.saveCurrentTextAsPreset());
    settings::setLowerThirdText("   ");
    EXPECT_FALSE(p.saveCurrentTextAsPreset());
    EXPECT_EQ(p.presets(), (QStringList{"Break", "break"}));
    EXPECT_EQ(suite->dataValue(keys::lowerThirdPresets), QByteArray("[\"Break\",\"break\"]"));

    // The sheet's Add allows duplicates, trims, refuses empty text.
    EXPECT_TRUE(p.addPreset(" Break "));
    EXPECT_FALSE(p.addPreset(" \n"));
    EXPECT_TRUE(p.addPreset("Lunch"));
    EXPECT_EQ(p.presets(), (QStringList{"Break", "break", "Break", "Lunch"}));
    EXPECT_EQ(changes, 4);

    // Moves as a list drag does: targets are positions before the move.
    p.movePresets({3}, 0);
    EXPECT_EQ(p.presets(), (QStringList{"Lunch", "Break", "break", "Break"}));
    p.movePresets({0, 1}, 4);
    EXPECT_EQ(p.presets(), (QStringList{"break", "Break", "Lunch", "Break"}));
    p.movePresets({1}, 2);  // onto its own place: no change
    EXPECT_EQ(p.presets(), (QStringList{"break", "Break", "Lunch", "Break"}));
    EXPECT_EQ(settings::lowerThirdPresets(), p.presets());

    // A second reader sees the stored list.
    LowerThirdPresets other;
    EXPECT_EQ(other.presets(), p.presets());

    p.removePreset(0);
    p.removePresets({2, 0, 7});
    EXPECT_EQ(p.presets(), QStringList{"Lunch"});
    p.removePresets({0});
    EXPECT_TRUE(p.presets().isEmpty());
    EXPECT_EQ(suite->dataValue(keys::lowerThirdPresets), QByteArray("[]"));
}
