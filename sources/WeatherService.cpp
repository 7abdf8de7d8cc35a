#include "sources/WeatherService.h"

#include "pipeline/Settings.h"
#include "sources/HttpFetch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTimer>

#include <cmath>
#include <limits>

namespace ostrela {

QString description(WeatherServiceError error) {
    switch (error) {
    case WeatherServiceError::invalidZip: return QStringLiteral("couldn't find that zip code");
    case WeatherServiceError::requestFailed: return QStringLiteral("request failed");
    }
    return {};
}

WeatherCodeDescription describeWeatherCode(int code) {
    const QString fe0f = QStringLiteral("\uFE0F");
    auto emoji = [&](char32_t cp, bool selector = true) {
        QString s = QString::fromUcs4(&cp, 1);
        return selector ? s + fe0f : s;
    };
    switch (code) {
    case 0: return {emoji(0x2600), "Clear"};
    case 1: return {emoji(0x1F324), "Mostly Clear"};
    case 2: return {emoji(0x26C5, false), "Partly Cloudy"};
    case 3: return {emoji(0x2601), "Overcast"};
    case 45: case 48: return {emoji(0x1F32B), "Fog"};
    case 51: case 53: case 55: return {emoji(0x1F326), "Drizzle"};
    case 56: case 57: return {emoji(0x1F327), "Freezing Drizzle"};
    case 61: case 63: case 65: return {emoji(0x1F327), "Rain"};
    case 66: case 67: return {emoji(0x1F327), "Freezing Rain"};
    case 71: case 73: case 75: return {emoji(0x2744), "Snow"};
    case 77: return {emoji(0x2744), "Snow Grains"};
    case 80: case 81: case 82: return {emoji(0x1F326), "Rain Showers"};
    case 85: case 86: return {emoji(0x1F328), "Snow Showers"};
    case 95: case 96: case 99: return {emoji(0x26C8), "Thunderstorm"};
    default: return {emoji(0x1F321), "Weather"};
    }
}

QString shortestDecimal(double value) {
    return QLocale::c().toString(value, 'f', QLocale::FloatingPointShortest);
}

QString roundedTemperature(double fahrenheit) {
    // std::round rounds halves away from zero; "-0" is written as "0".
    const double r = std::round(fahrenheit);
    if (r == 0) return QStringLiteral("0");
    return QLocale::c().toString(r, 'f', 0);
}

QString weatherLine(const QString& label, double fahrenheit, int weatherCode) {
    const WeatherCodeDescription d = describeWeatherCode(weatherCode);
    return label + QStringLiteral(": ") + d.symbol + QLatin1Char(' ') + roundedTemperature(fahrenheit) +
           QStringLiteral("\u00B0F ") + d.condition;
}

namespace {

QString baseFromEnvironment(const char* variable, const char* fallback) {
    QString base = qEnvironmentVariable(variable).trimmed();
    if (base.isEmpty()) base = QString::fromLatin1(fallback);
    while (base.endsWith(QLatin1Char('/'))) base.chop(1);
    return base;
}

QUrl usable(const QString& text) {
    QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) return {};
    return url;
}

// A number written as the whole string: no surrounding white space, nothing after it.
std::optional<double> strictDouble(const QString& text) {
    if (text.isEmpty() || text.front().isSpace() || text.back().isSpace()) return std::nullopt;
    bool ok = false;
    const double v = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
    return v;
}

struct Decoded {
    QJsonObject object;
    QString error;
};

Decoded decodeObject(const QByteArray& body) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError)
        return {{}, QStringLiteral("the answer isn't valid JSON (%1)").arg(err.errorString())};
    if (!doc.isObject()) return {{}, QStringLiteral("the answer isn't a JSON object")};
    return {doc.object(), {}};
}

QString missing(const char* key) { return QStringLiteral("the answer has no \"%1\"").arg(QLatin1String(key)); }
QString wrongType(const char* key) {
    return QStringLiteral("\"%1\" in the answer has the wrong type").arg(QLatin1String(key));
}

struct PlaceRecord {
    QString latitude, longitude, placeName, stateAbbreviation;
};

// ZippopotamResponse: {"places": [{"latitude", "longitude", "place name", "state abbreviation"}]}.
std::optional<std::vector<PlaceRecord>> decodePlaces(const QByteArray& body, QString* error) {
    Decoded d = decodeObject(body);
    if (!d.error.isEmpty()) return *error = d.error, std::nullopt;
    if (!d.object.contains("places")) return *error = missing("places"), std::nullopt;
    if (!d.object.value("places").isArray()) return *error = wrongType("places"), std::nullopt;
    std::vector<PlaceRecord> out;
    for (const QJsonValue& v : d.object.value("places").toArray()) {
        if (!v.isObject()) return *error = wrongType("places"), std::nullopt;
        const QJsonObject o = v.toObject();
        PlaceRecord p;
        const std::pair<const char*, QString*> fields[] = {{"latitude", &p.latitude},
                                                           {"longitude", &p.longitude},
                                                           {"place name", &p.placeName},
                                                           {"state abbreviation", &p.stateAbbreviation}};
        for (const auto& [key, target] : fields) {
            if (!o.contains(QLatin1String(key))) return *error = missing(key), std::nullopt;
            const QJsonValue field = o.value(QLatin1String(key));
            if (!field.isString()) return *error = wrongType(key), std::nullopt;
            *target = field.toString();
        }
        out.push_back(std::move(p));
    }
    return out;
}

struct CurrentRecord {
    double temperature = 0;
    int weatherCode = 0;
};

// OpenMeteoResponse: {"current": {"temperature_2m": number, "weather_code": integer}}.
std::optional<CurrentRecord> decodeCurrent(const QByteArray& body, QString* error) {
    Decoded d = decodeObject(body);
    if (!d.error.isEmpty()) return *error = d.error, std::nullopt;
    if (!d.object.contains("current")) return *error = missing("current"), std::nullopt;
    if (!d.object.value("current").isObject()) return *error = wrongType("current"), std::nullopt;
    const QJsonObject current = d.object.value("current").toObject();
    if (!current.contains("temperature_2m")) return *error = missing("temperature_2m"), std::nullopt;
    if (!current.value("temperature_2m").isDouble()) return *error = wrongType("temperature_2m"), std::nullopt;
    if (!current.contains("weather_code")) return *error = missing("weather_code"), std::nullopt;
    const QJsonValue code = current.value("weather_code");
    const double c = code.toDouble();
    if (!code.isDouble() || c != std::floor(c) || c < std::numeric_limits<int>::min() ||
        c > std::numeric_limits<int>::max())
        return *error = wrongType("weather_code"), std::nullopt;
    return CurrentRecord{current.value("temperature_2m").toDouble(), int(c)};
}

bool isFiveDigitCode(const QString& code) {
    if (code.size() != 5) return false;
    for (QChar c : code)
        if (!c.isNumber()) return false;
    return true;
}

}  // namespace

QString WeatherService::geocodingBaseURL() {
    return baseFromEnvironment("OSTRELA_WEATHER_GEOCODING_URL", "https://api.zippopotam.us");
}
QString WeatherService::forecastBaseURL() {
    return baseFromEnvironment("OSTRELA_WEATHER_FORECAST_URL", "https://api.open-meteo.com");
}

QUrl WeatherService::lookupURL(const QString& zip) {
    return usable(geocodingBaseURL() + QStringLiteral("/us/") + QString::fromLatin1(QUrl::toPercentEncoding(zip)));
}

QUrl WeatherService::forecastURL(double lat, double lon) {
    return usable(forecastBaseURL() + QStringLiteral("/v1/forecast?latitude=") + shortestDecimal(lat) +
                  QStringLiteral("&longitude=") + shortestDecimal(lon) +
                  QStringLiteral("&current=temperature_2m,weather_code&temperature_unit=fahrenheit"));
}

WeatherService::WeatherService(QObject* parent)
    : QObject(parent), network_(new QNetworkAccessManager(this)), timer_(new QTimer(this)) {
    displayText_ = settings::weatherDisplayText();
    timer_->setInterval(kRefreshIntervalMs);
    // The timer lives and dies with the service, so a firing never finds it gone.
    connect(timer_, &QTimer::timeout, this, [this] {
        if (cachedZip_) refresh(*cachedZip_);
    });
}

WeatherService::~WeatherService() = default;

bool WeatherService::isRunning() const { return timer_->isActive(); }
int WeatherService::refreshIntervalMs() const { return timer_->interval(); }
void WeatherService::setRefreshIntervalForTesting(int ms) { timer_->setInterval(ms); }

void WeatherService::stop() {
    if (!timer_->isActive()) return;
    timer_->stop();
    emit isRunningChanged();
}

void WeatherService::update(bool enabled, const QString& zipCode) {
    const QString code = zipCode.trimmed();
    if (!enabled || !isFiveDigitCode(code)) {
        stop();
        return;
    }
    if (cachedZip_ == code && timer_->isActive()) return;
    if (cachedZip_ != code) {
        cachedLocation_.reset();
        cachedZip_ = code;
    }
    const bool wasRunning = timer_->isActive();
    timer_->start();  // restarts a running timer: a fresh interval from now
    if (!wasRunning) emit isRunningChanged();
    refresh(code);
}

void WeatherService::refreshNow() {
    if (cachedZip_) refresh(*cachedZip_);
}

void WeatherService::refresh(const QString& zip) {
    if (cachedLocation_) {
        fetchWeather(zip, *cachedLocation_);
        return;
    }
    const QUrl url = lookupURL(zip);
    if (!url.isValid()) return fail(zip, description(WeatherServiceError::invalidZip));
    httpGet(network_, url, kMaxResponseBytes, requestTimeoutMs_, this, [this, zip](HttpFetchResult r) {
        if (r.tooLarge) return fail(zip, QStringLiteral("the answer is too large"));
        if (!r.ok) return fail(zip, r.error);
        QString error;
        const auto places = decodePlaces(r.body, &error);
        if (!places) return fail(zip, error);
        if (places->empty()) return fail(zip, description(WeatherServiceError::invalidZip));
        const PlaceRecord& first = places->front();
        const auto lat = strictDouble(first.latitude);
        const auto lon = strictDouble(first.longitude);
        if (!lat || !lon) return fail(zip, description(WeatherServiceError::invalidZip));
        WeatherLocation location{*lat, *lon, first.placeName + QStringLiteral(", ") + first.stateAbbreviation};
        // A lookup that was overtaken by a change of code must not become the new code's place.
        if (cachedZip_ != zip) {
            emit refreshFinished();
            return;
        }
        cachedLocation_ = location;
        fetchWeather(zip, location);
    });
}

void WeatherService::fetchWeather(const QString& zip, const WeatherLocation& location) {
    const QUrl url = forecastURL(location.lat, location.lon);
    if (!url.isValid()) return fail(zip, description(WeatherServiceError::requestFailed));
    httpGet(network_, url, kMaxResponseBytes, requestTimeoutMs_, this, [this, zip, location](HttpFetchResult r) {
        if (r.tooLarge) return fail(zip, QStringLiteral("the answer is too large"));
        if (!r.ok) return fail(zip, r.error);
        QString error;
        const auto current = decodeCurrent(r.body, &error);
        if (!current) return fail(zip, error);
        succeed(zip, weatherLine(location.label, current->temperature, current->weatherCode));
    });
}

void WeatherService::succeed(const QString& zip, const QString& line) {
    // Results for a code no longer served are dropped, so a slow old answer can't replace the new place.
    if (cachedZip_ == zip) {
        if (displayText_ != line) {
            displayText_ = line;
            emit displayTextChanged();
        }
        settings::setWeatherDisplayText(line);
        setLastError(QString());
    }
    emit refreshFinished();
}

void WeatherService::fail(const QString& zip, const QString& description) {
    if (cachedZip_ == zip) setLastError(QLatin1String(kErrorPrefix) + description);
    emit refreshFinished();
}

void WeatherService::setLastError(const QString& error) {
    if (lastError_.isNull() == error.isNull() && lastError_ == error) return;
    lastError_ = error;
    emit lastErrorChanged();
}

}  // namespace ostrela
