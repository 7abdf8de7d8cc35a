#include "sources/NowPlayingService.h"

#include "pipeline/Settings.h"
#include "tests/sources/SourcesTestUtil.h"
#include "tests/support/TestEnv.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <mutex>

using namespace ostrela;

namespace {

const QString kNote = QStringLiteral("\U0001F3B5 ");
const QString kDash = QStringLiteral(" \u2014 ");
const QString kVlc = QStringLiteral("org.mpris.MediaPlayer2.vlc");
const QString kAudacious = QStringLiteral("org.mpris.MediaPlayer2.audacious");

FakeMediaPlayerBridge::Player playing(const char* title, const char* artist) {
    return {true, {title, artist}};
}

}  // namespace

TEST(NowPlayingText, PlayerOrderAndFormat) {
    FakeMediaPlayerBridge b;
    EXPECT_EQ(nowPlayingText(b), "");

    b.setPlayer(kSpotifyBusName, playing("Song", "Band"));
    EXPECT_EQ(nowPlayingText(b), kNote + "Song" + kDash + "Band");
    b.setPlayer(kSpotifyBusName, playing(" Song ", ""));  // used as given, no artist part
    EXPECT_EQ(nowPlayingText(b), kNote + " Song ");

    // Spotify wins while it plays, whatever else plays.
    b.setPlayer(kSpotifyBusName, playing("Song", "Band"));
    b.setPlayer(kVlc, playing("Other", "Artist"));
    EXPECT_EQ(nowPlayingText(b), kNote + "Song" + kDash + "Band");

    // Paused Spotify: the other players that play, in bus-name order.
    b.setPlayer(kSpotifyBusName, {false, {"Song", "Band"}});
    EXPECT_EQ(nowPlayingText(b), kNote + "Other" + kDash + "Artist");
    b.setPlayer(kAudacious, playing("First", "By Name"));
    EXPECT_EQ(nowPlayingText(b), kNote + "First" + kDash + "By Name");
    // A playing player without a title yields nothing; the next one is asked.
    b.setPlayer(kAudacious, playing("", "Nobody"));
    EXPECT_EQ(nowPlayingText(b), kNote + "Other" + kDash + "Artist");

    b.setPlayer(kVlc, {false, {"Other", "Artist"}});
    EXPECT_EQ(nowPlayingText(b), "");
    EXPECT_EQ(nowPlayingLine({"T", "A"}), kNote + "T" + kDash + "A");
    EXPECT_EQ(nowPlayingLine({"", "A"}), "");
}

TEST(NowPlayingText, AHugeTitleIsCutAndStoredCut) {
    const QString ellipsis(QChar(0x2026));
    const QString title(100000, QChar('s'));
    const QString line = nowPlayingLine({title, "Band"});
    // The note and its space are two characters of the 300.
    EXPECT_EQ(line, kNote + QString(297, QChar('s')) + ellipsis);
    EXPECT_EQ(nowPlayingLine({QString(296, QChar('s')), "B"}), kNote + QString(296, QChar('s')) + kDash.left(1) + ellipsis);

    test::ScopedTestEnv env;
    auto bridge = std::make_shared<FakeMediaPlayerBridge>();
    bridge->setPlayer(kSpotifyBusName, {true, {title, QString(100000, QChar('a'))}});
    NowPlayingService s(bridge);
    int polls = 0;
    QObject::connect(&s, &NowPlayingService::pollFinished, [&] { ++polls; });
    s.setEnabled(true);
    ASSERT_TRUE(test::waitFor([&] { return polls >= 1; }));
    s.setEnabled(false);
    EXPECT_EQ(s.displayText(), line);
    EXPECT_EQ(settings::nowPlayingDisplayText(), line);
    // What every later write rewrites: the whole settings file stays small on disk.
    auto* suite = SettingsStore::suite();
    ASSERT_TRUE(suite);
    EXPECT_LT(QFileInfo(QString::fromStdString(suite->filePath())).size(), 8 * 1024);
}

TEST(NowPlayingServiceTest, PollsPublishesAndStores) {
    test::ScopedTestEnv env;
    settings::setNowPlayingDisplayText("Stored line");
    auto bridge = std::make_shared<FakeMediaPlayerBridge>();
    NowPlayingService s(bridge);
    EXPECT_EQ(s.displayText(), "Stored line");
    EXPECT_EQ(s.pollIntervalMs(), 4000);
    EXPECT_FALSE(s.isPolling());

    int pollingChanges = 0, polls = 0;
    QObject::connect(&s, &NowPlayingService::isPollingChanged, [&] { ++pollingChanges; });
    QObject::connect(&s, &NowPlayingService::pollFinished, [&] { ++polls; });
    bridge->setPlayer(kSpotifyBusName, playing("Song", "Band"));
    s.setEnabled(true);
    s.setEnabled(true);  // one timer, one immediate poll
    ASSERT_TRUE(test::waitFor([&] { return polls >= 1; }));
    EXPECT_EQ(pollingChanges, 1);
    EXPECT_TRUE(s.isPolling());
    EXPECT_EQ(s.displayText(), kNote + "Song" + kDash + "Band");
    EXPECT_EQ(settings::nowPlayingDisplayText(), s.displayText());

    // Nothing playing: the next poll publishes and stores the empty text.
    s.setPollIntervalForTesting(20);
    s.setEnabled(false);
    s.setEnabled(true);
    bridge->clear();
    ASSERT_TRUE(test::waitFor([&] { return s.displayText().isEmpty(); }));
    ASSERT_TRUE(test::waitFor([&] { return settings::nowPlayingDisplayText().isEmpty(); }));
    auto* suite = SettingsStore::suite();
    ASSERT_TRUE(suite);
    EXPECT_EQ(suite->stringValue(keys::nowPlayingDisplayText), QString(""));

    // The timer keeps polling; disabling keeps the last text.
    bridge->setPlayer(kVlc, playing("Late", ""));
    ASSERT_TRUE(test::waitFor([&] { return s.displayText() == kNote + "Late"; }));
    s.setEnabled(false);
    EXPECT_FALSE(s.isPolling());
    const int queries = bridge->queryCount();
    bridge->clear();
    QTimer idle;
    bool done = false;
    idle.singleShot(100, [&] { done = true; });
    ASSERT_TRUE(test::waitFor([&] { return done; }));
    EXPECT_EQ(s.displayText(), kNote + "Late");
    EXPECT_EQ(settings::nowPlayingDisplayText(), kNote + "Late");
    EXPECT_LE(bridge->queryCount(), queries + 1);  // at most the poll already under way
}

// A player that never answers must not pile up polls: at most two are out at once.
TEST(NowPlayingServiceTest, StuckPlayerDoesNotPileUpPolls) {
    test::ScopedTestEnv env;
    auto bridge = std::make_shared<FakeMediaPlayerBridge>();
    bridge->setPlayer(kVlc, playing("Song", ""));
    bridge->setBlocked(true);
    NowPlayingService s(bridge);
    // Declared after the service: unblocks before the service waits for its polls, even on failure.
    struct Unblock {
        FakeMediaPlayerBridge* b;
        ~Unblock() { b->setBlocked(false); }
    } unblock{bridge.get()};
    s.setPollIntervalForTesting(5);
    int polls = 0;
    QObject::connect(&s, &NowPlayingService::pollFinished, [&] { ++polls; });
    s.setEnabled(true);
    ASSERT_TRUE(test::waitFor([&] { return bridge->listCount() == NowPlayingService::kMaxPollsInFlight; }));
    bool idle = false;
    QTimer::singleShot(150, [&] { idle = true; });
    ASSERT_TRUE(test::waitFor([&] { return idle; }));
    EXPECT_EQ(bridge->listCount(), NowPlayingService::kMaxPollsInFlight);
    EXPECT_EQ(polls, 0);
    bridge->setBlocked(false);
    ASSERT_TRUE(test::waitFor([&] { return polls >= 3; }));  // polling resumes
    EXPECT_EQ(s.displayText(), kNote + "Song");
    s.setEnabled(false);
}

// ---- A real session bus with fake MPRIS players on it ----

namespace {

class FakePlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)

public:
    explicit FakePlayerAdaptor(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    void set(const QString& status, const QVariantMap& metadata) {
        std::lock_guard lock(mutex_);
        status_ = status;
        metadata_ = metadata;
    }
    QString playbackStatus() const {
        std::lock_guard lock(mutex_);
        return status_;
    }
    QVariantMap metadata() const {
        std::lock_guard lock(mutex_);
        return metadata_;
    }

private:
    mutable std::mutex mutex_;
    QString status_ = "Stopped";
    QVariantMap metadata_;
};

// One player: its own connection (a bus name and the MPRIS object path), served on its own thread
// so the test thread may block on calls to it.
class FakePlayer {
public:
    FakePlayer(const QString& address, const QString& busName) : name_("fake-" + busName) {
        object_ = new QObject;
        adaptor_ = new FakePlayerAdaptor(object_);
        object_->moveToThread(&thread_);
        thread_.start();
        bus_ = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, name_));
        registered_ = bus_->isConnected() && bus_->registerObject(kMprisObjectPath, object_) &&
                      bus_->registerService(busName);
    }
    ~FakePlayer() {
        bus_->unregisterObject(kMprisObjectPath);
        bus_.reset();
        QDBusConnection::disconnectFromBus(name_);
        // Deleted on its own thread, which takes deferred deletions with it when it ends.
        object_->deleteLater();
        thread_.quit();
        thread_.wait();
    }
    bool registered() const { return registered_; }
    void play(const QString& status, const QString& title, const QVariant& artist) {
        QVariantMap md{{"xesam:title", title}, {"mpris:trackid", "/track/1"}, {"xesam:album", "LP"}};
        if (artist.isValid()) md["xesam:artist"] = artist;
        adaptor_->set(status, md);
    }

private:
    QString name_;
    QThread thread_;
    QObject* object_ = nullptr;
    FakePlayerAdaptor* adaptor_ = nullptr;
    std::unique_ptr<QDBusConnection> bus_;
    bool registered_ = false;
};

class SessionBus : public ::testing::Test {
protected:
    void SetUp() override {
        const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
        if (daemon.isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
        daemon_.start(daemon, {"--session", "--nofork", "--print-address"});
        ASSERT_TRUE(daemon_.waitForStarted());
        ASSERT_TRUE(test::waitFor([&] { return daemon_.canReadLine(); }, 20000)) << "dbus-daemon printed no address";
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        ASSERT_FALSE(address_.isEmpty());
    }
    void TearDown() override {
        if (daemon_.state() == QProcess::NotRunning) return;
        daemon_.terminate();
        if (!daemon_.waitForFinished(5000)) daemon_.kill();
        daemon_.waitForFinished();
    }
    QProcess daemon_;
    QString address_;
};

}  // namespace

TEST_F(SessionBus, MprisBridgeReadsPlayingPlayersOnly) {
    FakePlayer spotify(address_, kSpotifyBusName);
    FakePlayer vlc(address_, kVlc);
    ASSERT_TRUE(spotify.registered());
    ASSERT_TRUE(vlc.registered());
    spotify.play("Playing", "Song", QStringList{"Band"});
    vlc.play("Paused", "Other", QStringList{"A", "B"});

    MprisPlayerBridge bridge(address_);
    QStringList players = bridge.runningPlayers();
    players.sort();
    EXPECT_EQ(players, (QStringList{kSpotifyBusName, kVlc}));
    EXPECT_EQ(bridge.currentTrack(kSpotifyBusName), (PlayingTrack{"Song", "Band"}));
    EXPECT_EQ(bridge.currentTrack(kVlc), std::nullopt);
    EXPECT_EQ(bridge.currentTrack("org.mpris.MediaPlayer2.nobody"), std::nullopt);

    vlc.play("Playing", "Other", QStringList{"A", "B"});
    EXPECT_EQ(bridge.currentTrack(kVlc), (PlayingTrack{"Other", "A, B"}));
    vlc.play("Playing", "Single", QString("Solo"));  // some players send a plain string
    EXPECT_EQ(bridge.currentTrack(kVlc), (PlayingTrack{"Single", "Solo"}));
    vlc.play("Playing", "Untitled artist", QVariant());
    EXPECT_EQ(bridge.currentTrack(kVlc), (PlayingTrack{"Untitled artist", ""}));

    // A bus without a daemon behind it: nothing runs.
    MprisPlayerBridge dead("unix:path=/nonexistent/ostrela-bus");
    EXPECT_TRUE(dead.runningPlayers().isEmpty());
    EXPECT_EQ(dead.currentTrack(kSpotifyBusName), std::nullopt);
}

TEST_F(SessionBus, ServiceFollowsThePlayers) {
    test::ScopedTestEnv env;
    auto spotify = std::make_unique<FakePlayer>(address_, kSpotifyBusName);
    FakePlayer vlc(address_, kVlc);
    ASSERT_TRUE(spotify->registered());
    spotify->play("Paused", "Song", QStringList{"Band"});
    vlc.play("Playing", "Other", QStringList{"Artist"});

    NowPlayingService s(std::make_shared<MprisPlayerBridge>(address_));
    s.setPollIntervalForTesting(20);
    s.setEnabled(true);
    // Spotify paused while another player plays: that one is shown.
    ASSERT_TRUE(test::waitFor([&] { return s.displayText() == kNote + "Other" + kDash + "Artist"; }));
    // Both playing: Spotify.
    spotify->play("Playing", "Song", QStringList{"Band"});
    ASSERT_TRUE(test::waitFor([&] { return s.displayText() == kNote + "Song" + kDash + "Band"; }));
    EXPECT_TRUE(test::waitFor([&] { return settings::nowPlayingDisplayText() == kNote + "Song" + kDash + "Band"; }));
    // Spotify quits, the other stops: empty.
    spotify.reset();
    vlc.play("Stopped", "Other", QStringList{"Artist"});
    ASSERT_TRUE(test::waitFor([&] { return s.displayText().isEmpty(); }));
    s.setEnabled(false);
}

#include "NowPlayingService_test.moc"
