#include "ui/Updater.h"

#include "BuildAddresses.h"

#include "sources/HttpFetch.h"

#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

namespace ostrela {

namespace {

std::optional<ReleaseInfo> releaseFromObject(const QJsonObject& o) {
    QString version = o.value(QLatin1String("version")).toString();
    if (version.isEmpty()) version = o.value(QLatin1String("tag_name")).toString();
    version = version.trimmed();
    if (version.isEmpty()) return std::nullopt;
    if (o.value(QLatin1String("draft")).toBool() || o.value(QLatin1String("prerelease")).toBool()) return std::nullopt;
    ReleaseInfo r;
    r.version = version;
    QString url = o.value(QLatin1String("url")).toString();
    if (url.isEmpty()) url = o.value(QLatin1String("html_url")).toString();
    const QUrl parsed(url, QUrl::StrictMode);
    // Only web pages are offered to the browser; anything else in the feed is dropped.
    if (parsed.isValid() && (parsed.scheme() == QLatin1String("https") || parsed.scheme() == QLatin1String("http")))
        r.url = parsed;
    r.notes = o.value(QLatin1String("notes")).toString();
    if (r.notes.isEmpty()) r.notes = o.value(QLatin1String("body")).toString();
    return r;
}

struct VersionParts {
    QList<qint64> numbers;
    QString suffix;
};

VersionParts splitVersion(QString v) {
    v = v.trimmed();
    if (v.startsWith(QLatin1Char('v')) || v.startsWith(QLatin1Char('V'))) v.remove(0, 1);
    VersionParts p;
    static const QRegularExpression head(QStringLiteral("^([0-9]+(?:\\.[0-9]+)*)(.*)$"));
    const auto m = head.match(v);
    if (!m.hasMatch()) {
        p.suffix = v;
        return p;
    }
    for (const QString& part : m.captured(1).split(QLatin1Char('.'))) p.numbers << part.left(15).toLongLong();
    p.suffix = m.captured(2);
    return p;
}

}  // namespace

std::optional<ReleaseInfo> parseReleaseFeed(const QByteArray& json) {
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError) return std::nullopt;
    if (doc.isObject()) return releaseFromObject(doc.object());
    if (!doc.isArray()) return std::nullopt;
    std::optional<ReleaseInfo> best;
    for (const QJsonValue& v : doc.array()) {
        if (!v.isObject()) continue;
        auto r = releaseFromObject(v.toObject());
        if (r && (!best || compareVersions(r->version, best->version) > 0)) best = r;
    }
    return best;
}

int compareVersions(const QString& a, const QString& b) {
    const VersionParts pa = splitVersion(a), pb = splitVersion(b);
    const int n = std::max(pa.numbers.size(), pb.numbers.size());
    for (int i = 0; i < n; ++i) {
        const qint64 x = i < pa.numbers.size() ? pa.numbers[i] : 0;
        const qint64 y = i < pb.numbers.size() ? pb.numbers[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    // "1.2.0-beta" comes before "1.2.0".
    if (pa.suffix.isEmpty() != pb.suffix.isEmpty()) return pa.suffix.isEmpty() ? 1 : -1;
    const int c = QString::compare(pa.suffix, pb.suffix);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

QString UpdateCheckResult::title() const {
    switch (outcome) {
    case Outcome::upToDate: return QStringLiteral("You’re up to date!");
    case Outcome::updateAvailable: return QStringLiteral("A new version of Ostrela is available!");
    case Outcome::failed: break;
    }
    return QStringLiteral("Update Error!");
}

QString UpdateCheckResult::message() const {
    switch (outcome) {
    case Outcome::upToDate:
        return QStringLiteral("Ostrela %1 is currently the newest version available.").arg(currentVersion);
    case Outcome::updateAvailable:
        return QStringLiteral("Ostrela %1 is now available — you have %2. Ostrela never installs updates by "
                              "itself: get the new version from the release page or your package manager.")
            .arg(latest ? latest->version : QString(), currentVersion);
    case Outcome::failed: break;
    }
    return QStringLiteral("An error occurred while checking for updates: ") + error;
}

Updater::Updater(QObject* parent) : QObject(parent), presenter_(&Updater::presentWithMessageBox) {}
Updater::~Updater() = default;

QString Updater::builtInFeedURL() { return QStringLiteral(OSTRELA_BUILD_UPDATE_FEED_URL); }

QString Updater::feedURL() {
    const QString env = qEnvironmentVariable("OSTRELA_UPDATE_FEED_URL");
    return env.isEmpty() ? builtInFeedURL() : env;
}

QString Updater::currentVersion() { return QStringLiteral(OSTRELA_VERSION); }

void Updater::start(int firstDelayMs) {
    if (started_) return;
    started_ = true;
    if (!hasFeed()) return;  // a build without a release feed never asks anyone
    QTimer::singleShot(firstDelayMs, this, [this] { check(false); });
    auto* daily = new QTimer(this);
    daily->setInterval(kBackgroundIntervalSeconds * 1000);
    connect(daily, &QTimer::timeout, this, [this] { check(false); });
    daily->start();
}

void Updater::check(bool userInitiated) {
    if (checking_) return;  // one request at a time; its answer serves both
    const QString address = feedURL();
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) {
        UpdateCheckResult r;
        r.outcome = UpdateCheckResult::Outcome::failed;
        r.currentVersion = currentVersion();
        r.error = address.isEmpty() ? QStringLiteral("this build has no release feed")
                                    : QStringLiteral("the release feed address is not valid");
        r.userInitiated = userInitiated;
        finish(std::move(r));
        return;
    }
    if (!network_) network_ = new QNetworkAccessManager(this);
    checking_ = true;
    emit isCheckingChanged();
    httpGet(network_, url, kMaxFeedBytes, kRequestTimeoutMs, this, [this, userInitiated](HttpFetchResult fetched) {
        UpdateCheckResult r;
        r.currentVersion = currentVersion();
        r.userInitiated = userInitiated;
        if (!fetched.ok) {
            r.error = fetched.tooLarge ? QStringLiteral("the release feed is too large") : fetched.error;
        } else if (auto latest = parseReleaseFeed(fetched.body)) {
            r.latest = latest;
            r.outcome = compareVersions(latest->version, r.currentVersion) > 0 ? UpdateCheckResult::Outcome::updateAvailable
                                                                                : UpdateCheckResult::Outcome::upToDate;
        } else {
            r.error = QStringLiteral("the release feed could not be read");
        }
        checking_ = false;
        emit isCheckingChanged();
        finish(std::move(r));
    });
}

void Updater::finish(UpdateCheckResult result) {
    lastResult_ = result;
    emit checkFinished(result);
    const bool speak = result.userInitiated || result.outcome == UpdateCheckResult::Outcome::updateAvailable;
    if (speak && presenter_) presenter_(result);
}

void Updater::presentWithMessageBox(const UpdateCheckResult& result) {
    auto* box = new QMessageBox(result.outcome == UpdateCheckResult::Outcome::failed ? QMessageBox::Warning
                                                                                     : QMessageBox::Information,
                                result.title(), result.message());
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* open = nullptr;
    if (result.outcome == UpdateCheckResult::Outcome::updateAvailable && result.latest && result.latest->url.isValid())
        open = box->addButton(QStringLiteral("Open Release Page"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Ok);
    const QUrl url = result.latest ? result.latest->url : QUrl();
    QObject::connect(box, &QMessageBox::buttonClicked, box, [open, url](QAbstractButton* b) {
        if (open && b == open) QDesktopServices::openUrl(url);
    });
    box->open();
}

}  // namespace ostrela
