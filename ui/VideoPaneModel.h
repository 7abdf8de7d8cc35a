#pragma once
// The video pane's behaviour: transport, the progress slider that seeks once on release, the
// time labels, volume and the camera picture-in-picture settings.
#include "pipeline/Settings.h"

#include <QObject>
#include <QPointer>
#include <QString>

namespace ostrela {

class OverlayLibraryController;
class VideoPlaybackService;

namespace videopane {
inline constexpr const char kTitle[] = "Playing Video Out Through Ostrela";
inline constexpr const char kSwitchToLiveLabel[] = "Switch to Live Camera Feed";
inline constexpr const char kSwitchToLiveHelp[] = "Return to the live camera";
inline constexpr const char kRewindHelp[] = "Rewind to the beginning";
inline constexpr const char kPlayHelp[] = "Play the video out through the Ostrela camera";
inline constexpr const char kPauseLabel[] = "Pause";
inline constexpr const char kPlayLabel[] = "Play";
inline constexpr const char kStopHelp[] = "Stop and return to the beginning";
inline constexpr const char kProgressHelp[] = "Drag to jump to a spot in the video.";
inline constexpr const char kVolumeHelp[] = "How loud this video plays — independent of your computer's volume.";
inline constexpr const char kPiPHelp[] = "Show my camera in a corner while the video plays";
inline constexpr const char kPiPToggleLabel[] = "Show my camera in the corner";
inline constexpr const char kPiPToggleHelp[] =
    "Superimposes your live camera in a corner of the playing video, so viewers can watch you react to it. Kept "
    "plain — no video effects are applied to your camera square.";
inline constexpr const char kCornerLabel[] = "Corner";
inline constexpr const char kSizeLabel[] = "Size";
inline constexpr double kPiPMinFraction = 0.15;
inline constexpr double kPiPMaxFraction = 0.40;

// "%d:%02d" below an hour, "%d:%02d:%02d" from then on, for whole seconds.
QString formatTime(long long seconds);
// Rounds to the nearest whole second first (59:59.6 → "1:00:00"); a time that is not finite or
// negative shows as "0:00".
QString formatTime(double seconds);
// "speaker.slash.fill" up to 0.001, "speaker.wave.1.fill" below 0.5, else "speaker.wave.2.fill".
QString volumeSymbol(double volume);
// Fraction × 100 as a whole number, fractional part dropped, then "%".
QString percentText(double fraction);
// Arrow symbol of each corner for the picker.
QString cornerSymbol(OverlayPlacement placement);
QString cornerTitle(OverlayPlacement placement);  // "Top Left", …
}  // namespace videopane

class VideoPaneModel : public QObject {
    Q_OBJECT

public:
    VideoPaneModel(VideoPlaybackService* playback, OverlayLibraryController* library, QObject* parent = nullptr);

    // The pane shows while a video is loaded.
    bool isVisible() const;
    bool isPlaying() const;
    double duration() const;
    double currentTime() const;

    // Transport.
    void switchToLiveCamera();
    void rewind();
    void togglePlayPause();
    void stop();
    QString playPauseSymbol() const;  // "play.fill" paused, "pause.fill" playing
    QString playPauseLabel() const;   // "Play" / "Pause"

    // Progress slider.
    bool isScrubbing() const { return isScrubbing_; }
    double scrubbedProgress() const { return scrubbed_; }
    void beginScrub();
    void scrubTo(double seconds);
    void endScrub();
    double sliderValue() const { return isScrubbing_ ? scrubbed_ : currentTime(); }
    double sliderMaximum() const { return duration(); }
    QString elapsedText() const { return videopane::formatTime(sliderValue()); }
    QString totalText() const { return videopane::formatTime(duration()); }

    // Volume.
    double volume() const;
    void setVolume(double volume);
    QString volumeSymbol() const { return videopane::volumeSymbol(volume()); }

    // Picture-in-picture settings.
    bool showPiPSettings() const { return showPiPSettings_; }
    void setShowPiPSettings(bool on);
    bool pipEnabled() const { return settings::videoCameraPiPEnabled(); }
    void setPiPEnabled(bool on);
    QString pipSymbol() const { return pipEnabled() ? QStringLiteral("pip.fill") : QStringLiteral("pip"); }
    OverlayPlacement pipPlacement() const { return settings::videoCameraPiPPlacement(); }
    void setPiPPlacement(OverlayPlacement placement);
    double pipWidthFraction() const { return settings::videoCameraPiPWidthFraction(); }
    void setPiPWidthFraction(double fraction);  // kept within 0.15…0.40
    QString pipSizeText() const { return videopane::percentText(pipWidthFraction()); }

signals:
    void changed();

private:
    QPointer<VideoPlaybackService> playback_;
    QPointer<OverlayLibraryController> library_;
    bool isScrubbing_ = false;
    double scrubbed_ = 0;
    bool showPiPSettings_ = false;
};

}  // namespace ostrela
