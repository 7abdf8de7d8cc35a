#pragma once
// The headline ticker of the lower-third bar: up to 12 item or entry titles of an RSS or Atom
// feed joined into one line, written into "rssFeedDisplayText" every 300 seconds while enabled.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QTimer;

namespace ostrela {

enum class RSSFeedServiceError { parseFailed, noHeadlines };
// "couldn't read that feed", "feed has no headlines".
QString description(RSSFeedServiceError error);

// Three spaces, a bullet, three spaces.
inline constexpr const char16_t kHeadlineSeparator[] = u"   \u2022   ";
inline constexpr int kMaxHeadlines = 12;

// Collects the titles inside "item" and "entry" elements, CDATA included, each trimmed and cut to
// bar::kMaxLineLength characters. Element names are compared as written. Documents that
// declare entities in a DTD are refused rather than expanded, and external entities are never
// fetched. A document naming a DTD (old feeds name RSS 0.91's) may use HTML 4's named entities,
// which resolve from our own table; other undeclared names stay in the title as written ("&foo;").
// Null when the document is not well-formed.
std::optional<QStringList> feedTitles(const QByteArray& document);

// HTML 4.01's named character entities, all 252: the character `name` stands for (case matters),
// or a null string for any other name.
inline constexpr int kHtmlEntityCount = 252;
QString htmlEntityText(const QString& name);

// The first 12 titles joined with the separator.
QString tickerLine(const QStringList& titles);

// The web address for the user's text, or an invalid URL when none can be formed.
QUrl feedURL(const QString& text);

class RSSFeedService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString displayText READ displayText NOTIFY displayTextChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

public:
    static constexpr int kRefreshIntervalMs = 300 * 1000;
    static constexpr int kRequestTimeoutMs = 30 * 1000;
    // Feeds are a few hundred kilobytes at most; anything far bigger is refused.
    static constexpr qint64 kMaxFeedBytes = 5 * 1024 * 1024;
    static constexpr const char kErrorPrefix[] = "Feed unavailable: ";

    explicit RSSFeedService(QObject* parent = nullptr);
    ~RSSFeedService() override;

    // Called with the current "rssFeedEnabled" and "rssFeedURL" whenever either changes.
    void update(bool enabled, const QString& urlString);
    // One refresh of the served address now ("Refresh Now"); nothing when none was ever served.
    void refreshNow();

    const QString& displayText() const { return displayText_; }
    // Null string: the last refresh succeeded (or none ran yet).
    const QString& lastError() const { return lastError_; }
    bool isRunning() const;
    const std::optional<QString>& cachedURLString() const { return cachedURLString_; }
    int refreshIntervalMs() const;

    // Tests only.
    void setRefreshIntervalForTesting(int ms);
    void setMaxFeedBytesForTesting(qint64 bytes);
    void setRequestTimeoutForTesting(int ms) { requestTimeoutMs_ = ms; }

signals:
    void displayTextChanged();
    void lastErrorChanged();
    void isRunningChanged();
    // After every refresh, successful or not.
    void refreshFinished();

private:
    void refresh(const QString& urlString);
    void fail(const QString& urlString, const QString& message);
    void stop();
    void setLastError(const QString& error);

    QNetworkAccessManager* network_ = nullptr;
    QTimer* timer_ = nullptr;
    int requestTimeoutMs_ = kRequestTimeoutMs;
    QString displayText_;
    QString lastError_;
    std::optional<QString> cachedURLString_;
    qint64 maxFeedBytes_ = kMaxFeedBytes;
};

}  // namespace ostrela
