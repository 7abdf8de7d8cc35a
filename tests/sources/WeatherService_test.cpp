#include "sources/WeatherService.h"

#include "pipeline/Settings.h"
#include "tests/sources/SourcesTestUtil.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

const QByteArray kLookup12345 = "/us/12345";
const QByteArray kForecastNY =
    "/v1/forecast?latitude=40.7128&longitude=-74.006&current=temperature_2m,weather_code&temperature_unit=fahrenheit";
const QByteArray kLookup54321 = "/us/54321";
const QByteArray kForecastMadison =
    "/v1/forecast?latitude=43.07&longitude=-89.4&current=temperature_2m,weather_code&temperature_unit=fahrenheit";

QByteArray places(const char* lat, const char* lon, const char* name, const char* state) {
    return QByteArray("{\"post code\": \"12345\", \"country\": \"United States\", \"places\": [{\"place name\": \"") +
           name + "\", \"longitude\": \"" + lon + "\", \"state\": \"Somewhere\", \"state abbreviation\": \"" + state +
           "\", \"latitude\": \"" + lat + "\"}]}";
}
QByteArray current(const char* temperature, const char* code) {
    return QByteArray("{\"latitude\": 40.71, \"current_units\": {\"temperature_2m\": \"°F\"}, \"current\": "
                      "{\"time\": \"2026-12-06T19:00\", \"temperature_2m\": ") +
           temperature + ", \"weather_code\": " + code + "}}";
}

// Points both services at the local server and isolates the settings.
class WeatherFixture : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("OSTRELA_WEATHER_GEOCODING_URL", server.base().toUtf8());
        qputenv("OSTRELA_WEATHER_FORECAST_URL", (server.base() + "/").toUtf8());
        server.answer(kLookup12345, 200, places("40.7128", "-74.006", "Schenectady", "NY"));
        server.answer(kForecastNY, 200, current("72.5", "0"));
    }
    void TearDown() override {
        qunsetenv("OSTRELA_WEATHER_GEOCODING_URL");
        qunsetenv("OSTRELA_WEATHER_FORECAST_URL");
    }
    // Runs one refresh to its end.
    static void settle(WeatherService& s, const std::function<void()>& start) {
        int finished = 0;
        auto c = QObject::connect(&s, &WeatherService::refreshFinished, [&] { ++finished; });
        start();
        EXPECT_TRUE(test::waitFor([&] { return finished > 0; }));
        QObject::disconnect(c);
    }

    test::ScopedTestEnv env;
    test::HttpTestServer server;
};

const QString kNY = QStringLiteral("Schenectady, NY: \u2600\uFE0F 73\u00B0F Clear");

}  // namespace

TEST(WeatherFormatting, CodeTableSymbolsAndConditions) {
    struct Row {
        std::vector<int> codes;
        QString symbol;
        const char* condition;
    };
    const std::vector<Row> rows = {
        {{0}, "\u2600\uFE0F", "Clear"},
        {{1}, "\U0001F324\uFE0F", "Mostly Clear"},
        {{2}, "\u26C5", "Partly Cloudy"},
        {{3}, "\u2601\uFE0F", "Overcast"},
        {{45, 48}, "\U0001F32B\uFE0F", "Fog"},
        {{51, 53, 55}, "\U0001F326\uFE0F", "Drizzle"},
        {{56, 57}, "\U0001F327\uFE0F", "Freezing Drizzle"},
        {{61, 63, 65}, "\U0001F327\uFE0F", "Rain"},
        {{66, 67}, "\U0001F327\uFE0F", "Freezing Rain"},
        {{71, 73, 75}, "\u2744\uFE0F", "Snow"},
        {{77}, "\u2744\uFE0F", "Snow Grains"},
        {{80, 81, 82}, "\U0001F326\uFE0F", "Rain Showers"},
        {{85, 86}, "\U0001F328\uFE0F", "Snow Showers"},
        {{95, 96, 99}, "\u26C8\uFE0F", "Thunderstorm"},
        {{4, 44, 50, 100, 999, -1}, "\U0001F321\uFE0F", "Weather"},
    };
    for (const Row& row : rows)
        for (int code : row.codes) {
            const WeatherCodeDescription d = describeWeatherCode(code);
            EXPECT_EQ(d.symbol, row.symbol) << code;
            EXPECT_EQ(d.condition, row.condition) << code;
        }
}

TEST(WeatherFormatting, NumbersAndLine) {
    EXPECT_EQ(shortestDecimal(40.7128), "40.7128");
    EXPECT_EQ(shortestDecimal(-74.006), "-74.006");
    EXPECT_EQ(shortestDecimal(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(shortestDecimal(40.0), "40");
    EXPECT_EQ(shortestDecimal(0.0000123), "0.0000123");
    for (double v : {40.7128, -74.006, 0.1 + 0.2, 1.0 / 3.0, -179.99999999999997})
        EXPECT_EQ(shortestDecimal(v).toDouble(), v);

    EXPECT_EQ(roundedTemperature(72.5), "73");
    EXPECT_EQ(roundedTemperature(72.3), "72");
    EXPECT_EQ(roundedTemperature(-0.4), "0");
    EXPECT_EQ(roundedTemperature(-0.5), "-1");
    EXPECT_EQ(roundedTemperature(-2.5), "-3");
    EXPECT_EQ(roundedTemperature(1e20), "100000000000000000000");

    EXPECT_EQ(weatherLine("Austin, TX", 72.3, 0), QStringLiteral("Austin, TX: \u2600\uFE0F 72\u00B0F Clear"));
    EXPECT_EQ(weatherLine("Nome, AK", -2.5, 100), QStringLiteral("Nome, AK: \U0001F321\uFE0F -3\u00B0F Weather"));
    EXPECT_EQ(description(WeatherServiceError::invalidZip), "couldn't find that zip code");
    EXPECT_EQ(description(WeatherServiceError::requestFailed), "request failed");
}

TEST(WeatherFormatting, BaseURLsFollowTheEnvironment) {
    qunsetenv("OSTRELA_WEATHER_GEOCODING_URL");
    qunsetenv("OSTRELA_WEATHER_FORECAST_URL");
    EXPECT_EQ(WeatherService::lookupURL("12345").toString(), "https://api.zippopotam.us/us/12345");
    EXPECT_EQ(WeatherService::forecastURL(40.7128, -74.006).toString(),
              "https://api.open-meteo.com/v1/forecast?latitude=40.7128&longitude=-74.006"
              "&current=temperature_2m,weather_code&temperature_unit=fahrenheit");
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", "http://127.0.0.1:9/");
    EXPECT_EQ(WeatherService::lookupURL("12345").toString(), "http://127.0.0.1:9/us/12345");
    qunsetenv("OSTRELA_WEATHER_GEOCODING_URL");
}

TEST_F(WeatherFixture, RefreshResolvesThePlaceAndStoresTheLine) {
    WeatherService s;
    EXPECT_EQ(s.refreshIntervalMs(), 600000);
    QList<bool> running;
    QObject::connect(&s, &WeatherService::isRunningChanged, [&] { running << s.isRunning(); });
    settle(s, [&] { s.update(true, " 12345\n"); });
    EXPECT_EQ(server.requested, (QList<QByteArray>{kLookup12345, kForecastNY}));
    EXPECT_EQ(s.displayText(), kNY);
    EXPECT_EQ(settings::weatherDisplayText(), kNY);
    EXPECT_TRUE(s.lastError().isNull());
    EXPECT_EQ(s.cachedZip(), QString("12345"));
    ASSERT_TRUE(s.cachedLocation());
    EXPECT_EQ(*s.cachedLocation(), (WeatherLocation{40.7128, -74.006, "Schenectady, NY"}));
    EXPECT_EQ(running, QList<bool>{true});

    // The same code again while running does nothing; "Refresh Now" reuses the place.
    s.update(true, "12345");
    settle(s, [&] { s.refreshNow(); });
    EXPECT_EQ(server.requested, (QList<QByteArray>{kLookup12345, kForecastNY, kForecastNY}));

    // Off and on again: an immediate refresh, place from the cache.
    s.update(false, "12345");
    EXPECT_FALSE(s.isRunning());
    server.answer(kForecastNY, 200, current("-0.4", "3"));
    settle(s, [&] { s.update(true, "12345"); });
    EXPECT_EQ(server.count(kLookup12345), 1);
    EXPECT_EQ(s.displayText(), QStringLiteral("Schenectady, NY: \u2601\uFE0F 0\u00B0F Overcast"));

    // Another code clears the cached place.
    server.answer(kLookup54321, 200, places("43.07", "-89.4", "Madison", "WI"));
    server.answer(kForecastMadison, 200, current("-2.5", "100"));
    settle(s, [&] { s.update(true, "54321"); });
    EXPECT_EQ(server.count(kLookup54321), 1);
    EXPECT_EQ(s.displayText(), QStringLiteral("Madison, WI: \U0001F321\uFE0F -3\u00B0F Weather"));
    EXPECT_EQ(running, (QList<bool>{true, false, true}));
}

TEST_F(WeatherFixture, InvalidCodesStopAndKeepTheLastLine) {
    WeatherService s;
    settle(s, [&] { s.update(true, "12345"); });
    const int requests = server.requested.size();
    for (const char* code : {"1234", "123456", "12a45", "", "   "}) {
        s.update(true, "12345");
        s.update(true, code);
        EXPECT_FALSE(s.isRunning()) << code;
        EXPECT_EQ(s.cachedZip(), QString("12345"));
    }
    s.update(false, "12345");
    EXPECT_FALSE(s.isRunning());
    EXPECT_EQ(s.displayText(), kNY);
    EXPECT_EQ(settings::weatherDisplayText(), kNY);
    // Only the restarts with the cached code asked for the forecast again.
    for (int i = requests; i < server.requested.size(); ++i) EXPECT_EQ(server.requested[i], kForecastNY);
    // refreshNow without a served code does nothing.
    WeatherService fresh;
    fresh.refreshNow();
    EXPECT_FALSE(fresh.isRunning());
}

TEST_F(WeatherFixture, FailuresSetMessagesAndKeepTheLine) {
    settings::setWeatherDisplayText("Old line");
    WeatherService s;
    EXPECT_EQ(s.displayText(), "Old line");  // the stored line until the first success

    struct Case {
        QByteArray lookup;
        int status;
        QByteArray body;
        QString error;
    };
    const std::vector<Case> cases = {
        {"/us/11111", 404, "{}", "Weather unavailable: the answer has no \"places\""},
        {"/us/22222", 200, "{\"places\": []}", "Weather unavailable: couldn't find that zip code"},
        {"/us/33333", 200, places(" 40.1", "-74", "A", "B"), "Weather unavailable: couldn't find that zip code"},
        {"/us/44444", 200, places("40.1x", "-74", "A", "B"), "Weather unavailable: couldn't find that zip code"},
        {"/us/55555", 200, places("", "-74", "A", "B"), "Weather unavailable: couldn't find that zip code"},
        {"/us/66666", 200, "{\"places\": [{\"latitude\": 40.1}]}",
         "Weather unavailable: \"latitude\" in the answer has the wrong type"},
        {"/us/77777", 500, "<html>oops</html>", ""},
    };
    for (const Case& c : cases) {
        server.answer(c.lookup, c.status, c.body);
        settle(s, [&] { s.update(true, QString::fromLatin1(c.lookup.mid(4))); });
        if (c.error.isEmpty())
            EXPECT_TRUE(s.lastError().startsWith("Weather unavailable: the answer isn't valid JSON ("))
                << s.lastError().toStdString();
        else
            EXPECT_EQ(s.lastError(), c.error) << c.lookup.constData();
        EXPECT_EQ(s.displayText(), "Old line");
        EXPECT_TRUE(s.isRunning());  // a failure never stops the timer
    }
    EXPECT_EQ(settings::weatherDisplayText(), "Old line");

    // Forecast failures: bad JSON shape, garbage instead of HTTP.
    server.answer(kForecastNY, 200, "{\"current\": {\"temperature_2m\": 50}}");
    settle(s, [&] { s.update(true, "12345"); });
    EXPECT_EQ(s.lastError(), "Weather unavailable: the answer has no \"weather_code\"");
    server.answer(kForecastNY, 200, "{\"current\": {\"temperature_2m\": \"50\", \"weather_code\": 1}}");
    settle(s, [&] { s.refreshNow(); });
    EXPECT_EQ(s.lastError(), "Weather unavailable: \"temperature_2m\" in the answer has the wrong type");
    test::HttpTestServer::Answer garbage;
    garbage.raw = true;
    garbage.body = "\x01\x02 this is not HTTP\r\n\r\n";
    server.answer(kForecastNY, garbage);
    settle(s, [&] { s.refreshNow(); });
    EXPECT_TRUE(s.lastError().startsWith("Weather unavailable: ")) << s.lastError().toStdString();
    EXPECT_GT(s.lastError().size(), QString("Weather unavailable: ").size());

    // Success clears the message.
    server.answer(kForecastNY, 200, current("72.5", "0"));
    settle(s, [&] { s.refreshNow(); });
    EXPECT_TRUE(s.lastError().isNull());
    EXPECT_EQ(s.displayText(), kNY);
}

TEST_F(WeatherFixture, UnreachableSlowAndUnformableServices) {
    WeatherService s;
    s.setRequestTimeoutForTesting(300);
    // Held: the server never answers.
    test::HttpTestServer::Answer held;
    held.body = places("40.7128", "-74.006", "Schenectady", "NY");
    held.held = true;
    server.answer(kLookup12345, held);
    settle(s, [&] { s.update(true, "12345"); });
    EXPECT_EQ(s.lastError(), "Weather unavailable: The request timed out.");

    // Nobody listening.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", QStringLiteral("http://127.0.0.1:%1").arg(port).toUtf8());
    settle(s, [&] { s.refreshNow(); });
    EXPECT_TRUE(s.lastError().startsWith("Weather unavailable: ")) << s.lastError().toStdString();
    EXPECT_NE(s.lastError(), "Weather unavailable: The request timed out.");

    // A base address from which no URL can be formed.
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", "not a url");
    settle(s, [&] { s.refreshNow(); });
    EXPECT_EQ(s.lastError(), "Weather unavailable: couldn't find that zip code");
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", server.base().toUtf8());
    server.release(kLookup12345);
    qputenv("OSTRELA_WEATHER_FORECAST_URL", "not a url");
    settle(s, [&] { s.refreshNow(); });
    EXPECT_EQ(s.lastError(), "Weather unavailable: request failed");
    EXPECT_TRUE(s.displayText().isEmpty());
}

TEST_F(WeatherFixture, TimerRefreshesTheServedCode) {
    WeatherService s;
    settle(s, [&] { s.update(true, "12345"); });
    s.setRefreshIntervalForTesting(20);
    s.update(false, "12345");
    settle(s, [&] { s.update(true, "12345"); });  // restart with the short interval
    const int before = server.count(kForecastNY);
    ASSERT_TRUE(test::waitFor([&] { return server.count(kForecastNY) >= before + 2; }));
    EXPECT_EQ(server.count(kLookup12345), 1);
}

// A slow lookup for an old code must not become the new code's place or line.
TEST_F(WeatherFixture, OvertakenLookupIsDropped) {
    test::HttpTestServer::Answer slow;
    slow.body = places("40.7128", "-74.006", "Schenectady", "NY");
    slow.held = true;
    server.answer(kLookup12345, slow);
    server.answer(kLookup54321, 200, places("43.07", "-89.4", "Madison", "WI"));
    server.answer(kForecastMadison, 200, current("50", "2"));

    WeatherService s;
    s.update(true, "12345");
    ASSERT_TRUE(test::waitFor([&] { return server.waitingCount(kLookup12345) == 1; }));
    settle(s, [&] { s.update(true, "54321"); });
    const QString madison = QStringLiteral("Madison, WI: \u26C5 50\u00B0F Partly Cloudy");
    EXPECT_EQ(s.displayText(), madison);

    settle(s, [&] { server.release(kLookup12345); });
    EXPECT_EQ(s.displayText(), madison);
    EXPECT_EQ(settings::weatherDisplayText(), madison);
    ASSERT_TRUE(s.cachedLocation());
    EXPECT_EQ(s.cachedLocation()->label, "Madison, WI");
    EXPECT_EQ(server.count(kForecastNY), 0);
}
