#include "ui/VideoPaneModel.h"

#include "library/OverlayLibraryController.h"
#include "library/VideoPlaybackService.h"

#include <algorithm>
#include <cmath>

namespace ostrela {

QString videopane::formatTime(long long s) {
    if (s < 0) s = 0;
    if (s < 3600) return QString::asprintf("%lld:%02lld", s / 60, s % 60);
    return QString::asprintf("%lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
}

QString videopane::formatTime(double seconds) {
    // A time that can't be read (NaN, infinite) or is absurdly large shows as zero.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e12) return formatTime(0LL);
    return formatTime(static_cast<long long>(std::llround(seconds)));
}

QString videopane::volumeSymbol(double volume) {
    if (volume <= 0.001) return QStringLiteral("speaker.slash.fill");
    if (volume < 0.5) return QStringLiteral("speaker.wave.1.fill");
    return QStringLiteral("speaker.wave.2.fill");
}

QString videopane::percentText(double fraction) {
    if (!std::isfinite(fraction)) fraction = 0;
    return QString::number(static_cast<long long>(std::trunc(fraction * 100))) + QLatin1Char('%');
}

QString videopane::cornerSymbol(OverlayPlacement p) {
    switch (p) {
    case OverlayPlacement::topLeft: return QStringLiteral("arrow.up.left");
    case OverlayPlacement::topRight: return QStringLiteral("arrow.up.right");
    case OverlayPlacement::bottomLeft: return QStringLiteral("arrow.down.left");
    case OverlayPlacement::bottomRight: return QStringLiteral("arrow.down.right");
    }
    return {};
}

QString videopane::cornerTitle(OverlayPlacement p) {
    switch (p) {
    case OverlayPlacement::topLeft: return QStringLiteral("Top Left");
    case OverlayPlacement::topRight: return QStringLiteral("Top Right");
    case OverlayPlacement::bottomLeft: return QStringLiteral("Bottom Left");
    case OverlayPlacement::bottomRight: return QStringLiteral("Bottom Right");
    }
    return {};
}

VideoPaneModel::VideoPaneModel(VideoPlaybackService* playback, OverlayLibraryController* library, QObject* parent)
    : QObject(parent), playback_(playback), library_(library) {
    if (!playback_) return;
    for (auto sig : {&VideoPlaybackService::loadedURLChanged, &VideoPlaybackService::isPlayingChanged,
                     &VideoPlaybackService::durationChanged, &VideoPlaybackService::currentTimeChanged,
                     &VideoPlaybackService::volumeChanged})
        connect(playback_, sig, this, &VideoPaneModel::changed);
    connect(playback_, &VideoPlaybackService::loadedURLChanged, this, [this] {
        // A new video (or none) ends any drag that was going on.
        isScrubbing_ = false;
    });
}

bool VideoPaneModel::isVisible() const { return playback_ && !playback_->loadedURL().isEmpty(); }
bool VideoPaneModel::isPlaying() const { return playback_ && playback_->isPlaying(); }
double VideoPaneModel::duration() const { return playback_ ? playback_->duration() : 0; }
double VideoPaneModel::currentTime() const { return playback_ ? playback_->currentTime() : 0; }

void VideoPaneModel::switchToLiveCamera() {
    if (library_) library_->setSelectedID(QUuid());
}
void VideoPaneModel::rewind() {
    if (playback_) playback_->rewind();
}
void VideoPaneModel::togglePlayPause() {
    if (playback_) playback_->togglePlayPause();
}
void VideoPaneModel::stop() {
    if (playback_) playback_->stop();
}

QString VideoPaneModel::playPauseSymbol() const {
    return isPlaying() ? QStringLiteral("pause.fill") : QStringLiteral("play.fill");
}
QString VideoPaneModel::playPauseLabel() const {
    return QString::fromUtf8(isPlaying() ? videopane::kPauseLabel : videopane::kPlayLabel);
}

void VideoPaneModel::beginScrub() {
    if (isScrubbing_) return;
    scrubbed_ = currentTime();
    isScrubbing_ = true;
    emit changed();
}

void VideoPaneModel::scrubTo(double seconds) {
    if (!isScrubbing_) beginScrub();
    const double d = duration();
    scrubbed_ = std::clamp(std::isfinite(seconds) ? seconds : 0.0, 0.0, d > 0 ? d : 0.0);
    emit changed();
}

void VideoPaneModel::endScrub() {
    if (!isScrubbing_) return;
    isScrubbing_ = false;
    if (playback_) playback_->seek(scrubbed_);
    emit changed();
}

double VideoPaneModel::volume() const { return playback_ ? playback_->volume() : 1.0; }

void VideoPaneModel::setVolume(double v) {
    if (playback_) playback_->setVolume(std::clamp(v, 0.0, 1.0));
}

void VideoPaneModel::setShowPiPSettings(bool on) {
    if (on == showPiPSettings_) return;
    showPiPSettings_ = on;
    emit changed();
}

void VideoPaneModel::setPiPEnabled(bool on) {
    settings::setVideoCameraPiPEnabled(on);
    emit changed();
}

void VideoPaneModel::setPiPPlacement(OverlayPlacement placement) {
    settings::setVideoCameraPiPPlacement(placement);
    emit changed();
}

void VideoPaneModel::setPiPWidthFraction(double fraction) {
    settings::setVideoCameraPiPWidthFraction(std::clamp(fraction, videopane::kPiPMinFraction, videopane::kPiPMaxFraction));
    emit changed();
}

}  // namespace ostrela
