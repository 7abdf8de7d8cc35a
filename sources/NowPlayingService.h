#pragma once
// The now-playing line of the lower-third bar: every 4 seconds, while enabled, the track of the
// playing music player (Spotify first, then any other MPRIS player that plays, in bus-name order)
// as "🎵 Title — Artist", written into "nowPlayingDisplayText" after every poll.
#include "sources/MediaPlayerBridge.h"

#include <QObject>
#include <QString>

#include <memory>

class QThreadPool;
class QTimer;

namespace ostrela {

// The note prefix and the em-dash joiner.
inline constexpr const char16_t kNowPlayingPrefix[] = u"\U0001F3B5 ";
inline constexpr const char16_t kNowPlayingJoiner[] = u" \u2014 ";

// The line for one track, cut to bar::kMaxLineLength characters; empty when the title is empty.
QString nowPlayingLine(const PlayingTrack& track);
// Spotify first; otherwise the first other player, in bus-name order, that yields a line.
QString nowPlayingText(MediaPlayerBridge& bridge);

class NowPlayingService : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString displayText READ displayText NOTIFY displayTextChanged)
    Q_PROPERTY(bool isPolling READ isPolling NOTIFY isPollingChanged)

public:
    static constexpr int kPollIntervalMs = 4000;
    // Polls may overlap when a player is slow to answer, but no more than this many at once.
    static constexpr int kMaxPollsInFlight = 2;

    // Without a bridge the service talks MPRIS on the session bus.
    explicit NowPlayingService(std::shared_ptr<MediaPlayerBridge> bridge = nullptr, QObject* parent = nullptr);
    ~NowPlayingService() override;

    // Called with the current "nowPlayingEnabled" whenever it changes.
    void setEnabled(bool enabled);

    const QString& displayText() const { return displayText_; }
    bool isPolling() const;
    int pollIntervalMs() const;

    // Tests only: a shorter timer, to see it fire.
    void setPollIntervalForTesting(int ms);

signals:
    void displayTextChanged();
    void isPollingChanged();
    // After every poll has been published and stored.
    void pollFinished();

private:
    void poll();
    void publish(const QString& text);

    std::shared_ptr<MediaPlayerBridge> bridge_;
    std::unique_ptr<QThreadPool> pool_;
    QTimer* timer_ = nullptr;
    QString displayText_;
    int pollsInFlight_ = 0;
};

}  // namespace ostrela
