#include "sources/RSSFeedService.h"

#include "pipeline/Settings.h"
#include "pipeline/LowerThirdBar.h"
#include "sources/HttpFetch.h"

#include <QNetworkAccessManager>
#include <QTimer>
#include <QXmlStreamReader>

namespace ostrela {

QString description(RSSFeedServiceError error) {
    switch (error) {
    case RSSFeedServiceError::parseFailed: return QStringLiteral("couldn't read that feed");
    case RSSFeedServiceError::noHeadlines: return QStringLiteral("feed has no headlines");
    }
    return {};
}

std::optional<QStringList> feedTitles(const QByteArray& document) {
    QXmlStreamReader xml(document);
    // Names are matched as written, prefixes included, and undeclared prefixes are no error.
    xml.setNamespaceProcessing(false);
    // No entity resolver is installed, so external entities are never fetched; internal ones are
    // refused below, this only bounds what slips through.
    xml.setEntityExpansionLimit(1024);

    QStringList titles;
    bool isInsideItem = false;
    bool isInsideTitle = false;
    QString currentTitle;
    auto isEntry = [](QStringView name) { return name == u"item" || name == u"entry"; };

    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            // Entity declarations are how entity-expansion bombs start; no real feed needs them.
            if (!xml.entityDeclarations().isEmpty()) return std::nullopt;
            break;
        case QXmlStreamReader::StartElement: {
            const QStringView name = xml.qualifiedName();
            if (isEntry(name)) {
                isInsideItem = true;
            } else if (name == u"title" && isInsideItem) {
                isInsideTitle = true;
                currentTitle.clear();
            }
            break;
        }
        case QXmlStreamReader::Characters:
            // CDATA sections are ordinary title text in many real feeds.
            if (isInsideTitle) currentTitle += xml.text();
            break;
        case QXmlStreamReader::EndElement: {
            const QStringView name = xml.qualifiedName();
            if (isEntry(name)) {
                isInsideItem = false;
            } else if (name == u"title") {
                if (isInsideTitle) {
                    // Stored cut: a feed may hold titles of any length.
                    const QString title = cutBarText(currentTitle.trimmed());
                    if (!title.isEmpty()) titles << title;
                }
                isInsideTitle = false;
            }
            break;
        }
        default:
            break;
        }
    }
    if (xml.hasError()) return std::nullopt;
    return titles;
}

QString tickerLine(const QStringList& titles) {
    return titles.mid(0, kMaxHeadlines).join(QString::fromUtf16(kHeadlineSeparator));
}

QUrl feedURL(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return {};
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return {};
    return url;
}

namespace {

QString sizeText(qint64 bytes) {
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) return QStringLiteral("%1 MB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0) return QStringLiteral("%1 KB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

}  // namespace

RSSFeedService::RSSFeedService(QObject* parent)
    : QObject(parent), network_(new QNetworkAccessManager(this)), timer_(new QTimer(this)) {
    displayText_ = settings::rssFeedDisplayText();
    timer_->setInterval(kRefreshIntervalMs);
    connect(timer_, &QTimer::timeout, this, [this] {
        if (cachedURLString_) refresh(*cachedURLString_);
    });
}

RSSFeedService::~RSSFeedService() = default;

bool RSSFeedService::isRunning() const { return timer_->isActive(); }
int RSSFeedService::refreshIntervalMs() const { return timer_->interval(); }
void RSSFeedService::setRefreshIntervalForTesting(int ms) { timer_->setInterval(ms); }
void RSSFeedService::setMaxFeedBytesForTesting(qint64 bytes) { maxFeedBytes_ = bytes; }

void RSSFeedService::stop() {
    if (!timer_->isActive()) return;
    timer_->stop();
    emit isRunningChanged();
}

void RSSFeedService::update(bool enabled, const QString& urlString) {
    const QString text = urlString.trimmed();
    if (!enabled || text.isEmpty() || !QUrl(text).isValid()) {
        stop();
        return;
    }
    if (cachedURLString_ == text && timer_->isActive()) return;
    cachedURLString_ = text;
    const bool wasRunning = timer_->isActive();
    timer_->start();
    if (!wasRunning) emit isRunningChanged();
    refresh(text);
}

void RSSFeedService::refreshNow() {
    if (cachedURLString_) refresh(*cachedURLString_);
}

void RSSFeedService::refresh(const QString& urlString) {
    const QUrl url = feedURL(urlString);
    if (!url.isValid()) return fail(urlString, QStringLiteral("invalid URL"));
    httpGet(network_, url, maxFeedBytes_, requestTimeoutMs_, this, [this, urlString](HttpFetchResult r) {
        if (r.tooLarge) return fail(urlString, QStringLiteral("the feed is larger than %1").arg(sizeText(maxFeedBytes_)));
        if (!r.ok) return fail(urlString, r.error);
        const auto titles = feedTitles(r.body);
        if (!titles) return fail(urlString, description(RSSFeedServiceError::parseFailed));
        if (titles->isEmpty()) return fail(urlString, description(RSSFeedServiceError::noHeadlines));
        // A download overtaken by a change of address is not shown: the user moved on.
        if (cachedURLString_ == urlString) {
            const QString line = tickerLine(*titles);
            if (displayText_ != line) {
                displayText_ = line;
                emit displayTextChanged();
            }
            settings::setRssFeedDisplayText(line);
            setLastError(QString());
        }
        emit refreshFinished();
    });
}

void RSSFeedService::fail(const QString& urlString, const QString& message) {
    if (cachedURLString_ == urlString) setLastError(QLatin1String(kErrorPrefix) + message);
    emit refreshFinished();
}

void RSSFeedService::setLastError(const QString& error) {
    if (lastError_.isNull() == error.isNull() && lastError_ == error) return;
    lastError_ = error;
    emit lastErrorChanged();
}

}  // namespace ostrela
