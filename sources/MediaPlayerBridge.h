#pragma once
// How the now-playing line learns what a music player plays. On Linux players publish themselves
// on the session D-Bus through MPRIS; the bridge hides that so the service can be tested with a
// double. Calls come from a worker thread; implementations must be thread-safe.
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

namespace ostrela {

struct PlayingTrack {
    QString title;
    QString artist;  // may be empty
    bool operator==(const PlayingTrack&) const = default;
};

class MediaPlayerBridge {
public:
    virtual ~MediaPlayerBridge() = default;
    // Bus names of the running MPRIS players ("org.mpris.MediaPlayer2.<name>"), in any order.
    virtual QStringList runningPlayers() = 0;
    // The current track of one player, only while its status is Playing.
    virtual std::optional<PlayingTrack> currentTrack(const QString& busName) = 0;
};

inline constexpr const char kMprisPrefix[] = "org.mpris.MediaPlayer2.";
inline constexpr const char kSpotifyBusName[] = "org.mpris.MediaPlayer2.spotify";
inline constexpr const char kMprisObjectPath[] = "/org/mpris/MediaPlayer2";
inline constexpr const char kMprisPlayerInterface[] = "org.mpris.MediaPlayer2.Player";

// MPRIS over QtDBus: "PlaybackStatus" and "Metadata" ("xesam:title", "xesam:artist") of
// org.mpris.MediaPlayer2.Player, read through org.freedesktop.DBus.Properties.
class MprisPlayerBridge : public MediaPlayerBridge {
public:
    static constexpr int kCallTimeoutMs = 1500;
    // The session bus, or the bus at `busAddress` when given (tests run their own daemon).
    explicit MprisPlayerBridge(const QString& busAddress = {});
    ~MprisPlayerBridge() override;

    QStringList runningPlayers() override;
    std::optional<PlayingTrack> currentTrack(const QString& busName) override;

private:
    QString connectionName_;
    bool ownConnection_ = false;
};

// A scripted stand-in: players and what they play are set by the test.
class FakeMediaPlayerBridge : public MediaPlayerBridge {
public:
    struct Player {
        bool playing = false;
        PlayingTrack track;
    };
    void setPlayer(const QString& busName, Player player);
    void removePlayer(const QString& busName);
    void clear();
    int queryCount() const;
    // While blocked, every call waits, as with a player that doesn't answer.
    void setBlocked(bool blocked);
    int listCount() const;  // calls of runningPlayers

    QStringList runningPlayers() override;
    std::optional<PlayingTrack> currentTrack(const QString& busName) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable unblocked_;
    std::map<QString, Player> players_;
    int queries_ = 0;
    int lists_ = 0;
    bool blocked_ = false;
};

}  // namespace ostrela
