#pragma once
// A small update checker: reads a release feed, compares the newest version with ours and tells
// the user. It never downloads or installs anything; the user follows the link if they want.
//
// The feed is JSON: an object {"version": "1.2.0", "url": "https://…", "notes": "…"} or an array
// of such objects (the highest version wins). "tag_name"/"html_url"/"body" are read too, so a
// code-hosting site's release list works as a feed.
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace ostrela {

struct ReleaseInfo {
    QString version;
    QUrl url;
    QString notes;
};

// Parses the feed; none when it holds no release with a version.
std::optional<ReleaseInfo> parseReleaseFeed(const QByteArray& json);
// Dotted numeric comparison, a leading "v" ignored, missing parts read as 0, a non-numeric
// suffix ("1.2.0-beta") ranks below the plain number. −1, 0 or 1.
int compareVersions(const QString& a, const QString& b);

struct UpdateCheckResult {
    enum class Outcome { upToDate, updateAvailable, failed };
    Outcome outcome = Outcome::failed;
    QString currentVersion;
    std::optional<ReleaseInfo> latest;
    QString error;  // for failed
    bool userInitiated = false;

    // What the user is told.
    QString title() const;
    QString message() const;
};

class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isChecking READ isChecking NOTIFY isCheckingChanged)

public:
    static constexpr int kRequestTimeoutMs = 15000;
    static constexpr qint64 kMaxFeedBytes = 1 << 20;
    // Background checks at most this often.
    static constexpr int kBackgroundIntervalSeconds = 24 * 3600;

    explicit Updater(QObject* parent = nullptr);
    ~Updater() override;

    // $OSTRELA_UPDATE_FEED_URL, else the feed this build was configured with (the CMake option
    // OSTRELA_UPDATE_FEED_URL), else empty: then there is no update check and no menu command.
    static QString feedURL();
    static QString builtInFeedURL();
    static bool hasFeed() { return !feedURL().isEmpty(); }
    static QString currentVersion();  // OSTRELA_VERSION

    // Starts the background schedule: one quiet check shortly after start, then once a day.
    // A background check only speaks up when there is something new. Nothing without a feed.
    void start(int firstDelayMs = 10000);
    bool isStarted() const { return started_; }
    // "Check for Updates…": always reports the outcome.
    void checkForUpdates() { check(true); }
    void check(bool userInitiated);
    bool isChecking() const { return checking_; }
    const std::optional<UpdateCheckResult>& lastResult() const { return lastResult_; }

    // How results are shown; the default is a message box (with a button that opens the
    // release page) for user checks and for background checks that found an update.
    using Presenter = std::function<void(const UpdateCheckResult&)>;
    void setPresenter(Presenter presenter) { presenter_ = std::move(presenter); }
    static void presentWithMessageBox(const UpdateCheckResult& result);

signals:
    void isCheckingChanged();
    void checkFinished(const ostrela::UpdateCheckResult& result);

private:
    void finish(UpdateCheckResult result);

    QNetworkAccessManager* network_ = nullptr;
    bool started_ = false;
    bool checking_ = false;
    std::optional<UpdateCheckResult> lastResult_;
    Presenter presenter_;
};

}  // namespace ostrela
