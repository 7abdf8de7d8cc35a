#pragma once
// The weather line of the lower-third bar: a US ZIP code resolved to a place through the
// Zippopotam postal lookup, the current temperature and weather code from Open-Meteo, written as
// one line into "weatherDisplayText" every 600 seconds while enabled.
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QTimer;

namespace ostrela {

enum class WeatherServiceError { invalidZip, requestFailed };
// "couldn't find that zip code", "request failed".
QString description(WeatherServiceError error);

struct WeatherLocation {
    double lat = 0;
    double lon = 0;
    QString label;  // place name + ", " + state abbreviation
    bool operator==(const WeatherLocation&) const = default;
};

struct WeatherCodeDescription {
    QString symbol;     // emoji, with U+FE0F where it belongs
    QString condition;  // "Clear", "Rain", … "Weather" for unknown codes
};
// WMO weather interpretation code → symbol and condition text.
WeatherCodeDescription describeWeatherCode(int code);

// Shortest decimal text that reads back as the same double, never in exponent form.
QString shortestDecimal(double value);
// Rounded half away from zero, as a plain integer ("-3", "0", "73").
QString roundedTemperature(double fahrenheit);
// label + ": " + symbol + " " + temperature + "°F " + condition.
QString weatherLine(const QString& label, double fahrenheit, int weatherCode);

class WeatherService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString displayText READ displayText NOTIFY displayTextChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

public:
    static constexpr int kRefreshIntervalMs = 600 * 1000;
    static constexpr int kRequestTimeoutMs = 30 * 1000;
    static constexpr qint64 kMaxResponseBytes = 1 << 20;
    // "Weather unavailable: " + description.
    static constexpr const char kErrorPrefix[] = "Weather unavailable: ";

    explicit WeatherService(QObject* parent = nullptr);
    ~WeatherService() override;

    // Scheme and host of the two services; $OSTRELA_WEATHER_GEOCODING_URL and
    // $OSTRELA_WEATHER_FORECAST_URL replace them (tests point them at a local server).
    static QString geocodingBaseURL();  // default "https://api.zippopotam.us"
    static QString forecastBaseURL();   // default "https://api.open-meteo.com"
    // The two request URLs; invalid when none can be formed.
    static QUrl lookupURL(const QString& zip);
    static QUrl forecastURL(double lat, double lon);

    // Called with the current "weatherEnabled" and "weatherZipCode" whenever either changes.
    // Starts, restarts or stops the refreshes.
    void update(bool enabled, const QString& zipCode);
    // One refresh of the served code now ("Refresh Now"); nothing when no code was ever served.
    void refreshNow();

    const QString& displayText() const { return displayText_; }
    // Null string: the last refresh succeeded (or none ran yet).
    const QString& lastError() const { return lastError_; }
    bool isRunning() const;
    const std::optional<QString>& cachedZip() const { return cachedZip_; }
    const std::optional<WeatherLocation>& cachedLocation() const { return cachedLocation_; }
    int refreshIntervalMs() const;

    // Tests only: a shorter timer, to see it fire.
    void setRefreshIntervalForTesting(int ms);
    void setRequestTimeoutForTesting(int ms) { requestTimeoutMs_ = ms; }

signals:
    void displayTextChanged();
    void lastErrorChanged();
    void isRunningChanged();
    // After every refresh, successful or not.
    void refreshFinished();

private:
    void refresh(const QString& zip);
    void fetchWeather(const QString& zip, const WeatherLocation& location);
    void succeed(const QString& zip, const QString& line);
    void fail(const QString& zip, const QString& description);
    void stop();
    void setLastError(const QString& error);

    QNetworkAccessManager* network_ = nullptr;
    QTimer* timer_ = nullptr;
    int requestTimeoutMs_ = kRequestTimeoutMs;
    QString displayText_;
    QString lastError_;
    std::optional<QString> cachedZip_;
    std::optional<WeatherLocation> cachedLocation_;
};

}  // namespace ostrela
