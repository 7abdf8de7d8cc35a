#include "sources/NowPlayingService.h"

#include "pipeline/LowerThirdBar.h"
#include "pipeline/Settings.h"

#include <QFuture>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace ostrela {

QString nowPlayingLine(const PlayingTrack& track) {
    if (track.title.isEmpty()) return {};
    QString line = QString::fromUtf16(kNowPlayingPrefix) + track.title;
    if (!track.artist.isEmpty()) line += QString::fromUtf16(kNowPlayingJoiner) + track.artist;
    // A player may report a title of any length; the line is stored every poll.
    return cutBarText(line);
}

QString nowPlayingText(MediaPlayerBridge& bridge) {
    QStringList players = bridge.runningPlayers();
    if (players.isEmpty()) return {};
    auto lineOf = [&](const QString& name) {
        const auto track = bridge.currentTrack(name);
        return track ? nowPlayingLine(*track) : QString();
    };
    const QString spotify = QLatin1String(kSpotifyBusName);
    if (players.contains(spotify)) {
        const QString line = lineOf(spotify);
        if (!line.isEmpty()) return line;
    }
    std::sort(players.begin(), players.end());
    for (const QString& name : players) {
        if (name == spotify) continue;
        const QString line = lineOf(name);
        if (!line.isEmpty()) return line;
    }
    return {};
}

NowPlayingService::NowPlayingService(std::shared_ptr<MediaPlayerBridge> bridge, QObject* parent)
    : QObject(parent),
      bridge_(bridge ? std::move(bridge) : std::make_shared<MprisPlayerBridge>()),
      pool_(std::make_unique<QThreadPool>()),
      timer_(new QTimer(this)) {
    // Player queries are background work; they must never compete with the frame path.
    pool_->setThreadPriority(QThread::LowPriority);
    pool_->setMaxThreadCount(2);
    displayText_ = settings::nowPlayingDisplayText();
    timer_->setInterval(kPollIntervalMs);
    connect(timer_, &QTimer::timeout, this, &NowPlayingService::poll);
}

NowPlayingService::~NowPlayingService() = default;

bool NowPlayingService::isPolling() const { return timer_->isActive(); }
int NowPlayingService::pollIntervalMs() const { return timer_->interval(); }
void NowPlayingService::setPollIntervalForTesting(int ms) { timer_->setInterval(ms); }

void NowPlayingService::setEnabled(bool enabled) {
    if (!enabled) {
        if (!timer_->isActive()) return;
        timer_->stop();
        emit isPollingChanged();
        return;
    }
    if (timer_->isActive()) return;
    timer_->start();
    emit isPollingChanged();
    poll();
}

void NowPlayingService::poll() {
    // The bridge may block on a slow player; polls may overlap and the last to finish wins. A
    // player that never answers must not pile up blocked polls, so a tick is skipped while the
    // most allowed are still out.
    if (pollsInFlight_ >= kMaxPollsInFlight) return;
    ++pollsInFlight_;
    QtConcurrent::run(pool_.get(), [bridge = bridge_] { return nowPlayingText(*bridge); })
        .then(this, [this](const QString& text) {
            --pollsInFlight_;
            publish(text);
        });
}

void NowPlayingService::publish(const QString& text) {
    // Every poll is stored, changed or not.
    if (displayText_ != text) {
        displayText_ = text;
        emit displayTextChanged();
    }
    settings::setNowPlayingDisplayText(text);
    emit pollFinished();
}

}  // namespace ostrela
