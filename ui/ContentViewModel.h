#pragma once
// The main window's behaviour without its widgets: the objects it owns for its lifetime (overlay
// controller, performance monitor, video player, camera engine), the start-up sequence of its
// first appearance, and every control of the control column as a readable state plus an action
// that writes its setting. The widgets in MainWindow only bind to this.
#include "extension/CameraReachability.h"
#include "library/OverlayLibraryController.h"
#include "pipeline/Settings.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace ostrela {

class CameraEngine;
class ExtensionManager;
class LowerThirdModes;
class LowerThirdPresets;
class NowPlayingService;
class OverlayController;
class PerformanceMonitor;
class RSSFeedService;
class VideoPlaybackService;
class WeatherService;
namespace capture { class CaptureBackend; }

struct QuickColor {
    const char* name;
    const char* hex;
};
// The palette of the three quick colour menus, in menu order.
inline constexpr QuickColor kQuickColors[] = {
    {"Red", "D32F2F"}, {"Blue", "1565C0"}, {"Green", "2E7D32"}, {"Gold", "FFD100"},
    {"White", "FFFFFF"}, {"Black", "000000"}, {"Gray", "757575"},
};

namespace content {
inline constexpr const char kApprovalSymbol[] = "exclamationmark.triangle.fill";
inline constexpr const char kApprovalTitle[] = "Ostrela needs one-time approval";
inline constexpr const char kApprovalText[] =
    "Enter your password in the authentication dialog and allow the Ostrela camera, then it'll show up in Zoom.";
// Opens the camera help (installing the loopback module, approving the request).
inline constexpr const char kOpenCameraHelp[] = "Open Camera Help";
inline constexpr const char kStartCamera[] = "Start Camera Feed";
inline constexpr const char kStopCamera[] = "Stop Camera Feed";
inline constexpr const char kRunning[] = "Running";
inline constexpr const char kStopped[] = "Stopped";
inline constexpr const char kEffectHeadingPrefix[] = "Camera Effect: ";
inline constexpr const char kEffectPickerLabel[] = "Effect";
inline constexpr const char kHideEffectPreviewHelp[] =
    "Hide Camera Effect Preview — the effect still applies to the real camera feed, this only stops the preview "
    "animation to save CPU";
inline constexpr const char kShowEffectPreviewHelp[] = "Show Camera Effect Preview — animates the effect in the preview above";
inline constexpr const char kFloatingImageTitle[] = "Floating Image";
inline constexpr const char kFloatingImageUnavailable[] =
    "Not available while a video is playing — a floating image can't sit over full-frame video. This comes back "
    "automatically when you switch to the live camera.";
inline constexpr const char kHideFloatingImageHelp[] =
    "Hide Floating Image — sends a clean camera feed with no overlay at all. The selected image and its placement "
    "stay put for when you turn this back on";
inline constexpr const char kShowFloatingImageHelp[] = "Show Floating Image";
inline constexpr const char kFancyOnHelp[] =
    "Turn On Fancy Mode — soft reflection, subtle tilt, highlight edge, and a glow behind the floating image";
inline constexpr const char kFancyOffHelp[] = "Turn Off Fancy Mode";
inline constexpr const char kBorderOnHelp[] = "Turn On Border";
inline constexpr const char kBorderOffHelp[] = "Turn Off Border";
inline constexpr const char kQuickBorderColor[] = "Quick Border Color";
inline constexpr const char kCornerLabel[] = "Corner";
inline constexpr const char kSizeLabel[] = "Size";
inline constexpr double kOverlayMinFraction = 0.15;
inline constexpr double kOverlayMaxFraction = 0.6;
inline constexpr const char kFullScreenHelp[] = "Blow up to the largest size that still fits";
inline constexpr const char kReturnSizeHelp[] = "Return to previous size";
inline constexpr const char kLowerThirdTitle[] = "Lower Third Bar";
inline constexpr const char kShowBarToggle[] = "Show lower-third bar";
inline constexpr const char kTransparencyLabel[] = "Transparency";
inline constexpr const char kTransparencyHelp[] =
    "How see-through the bar's background is — quick to nudge mid-show without opening the design panel.";
inline constexpr const char kPromptRSS[] = "RSS Feed mode is on";
inline constexpr const char kPromptNowPlaying[] = "Now Playing mode is on";
inline constexpr const char kPromptWeather[] = "Weather mode is on";
inline constexpr const char kPromptText[] = "Text shown in the bar";
inline constexpr const char kInsertEmoji[] = "Insert Emoji";
inline constexpr const char kQuickBarColor[] = "Quick Bar Color";
inline constexpr const char kQuickTextColor[] = "Quick Text Color";
inline constexpr const char kPresetsHelp[] = "Lower Third Presets";
inline constexpr const char kNoPresets[] = "No presets yet";
inline constexpr const char16_t kLowerThirdDesign[] = u"Lower Third Design\u2026";
inline constexpr const char kNoCameraNote[] = "No camera found — the feed shows a test pattern.";
}  // namespace content

// What the bar text field's prompt reads for the current modes.
QString lowerThirdPrompt(bool rssFeedEnabled, bool nowPlayingEnabled, bool weatherEnabled);
// "Align " + "Leading"/"Center"/"Trailing".
QString alignmentHelp(LowerThirdTextAlignment alignment);
QString alignmentSymbol(LowerThirdTextAlignment alignment);
// The picker's display name of an effect.
QString effectDisplayName(VideoEffect effect);

// An entry of the presets menu.
struct PresetMenuEntry {
    enum class Kind { preset, emptyNote, saveCurrent, manage };
    Kind kind;
    QString title;
    bool enabled = true;
};

class ContentViewModel : public QObject, public OverlaySink {
    Q_OBJECT

public:
    struct Dependencies {
        OverlayLibraryController* libraryController = nullptr;
        ExtensionManager* extensionManager = nullptr;
        WeatherService* weatherService = nullptr;
        NowPlayingService* nowPlayingService = nullptr;
        RSSFeedService* rssFeedService = nullptr;
        LowerThirdModes* modes = nullptr;
        LowerThirdPresets* presets = nullptr;
        std::shared_ptr<capture::CaptureBackend> captureBackend;  // null: V4L2
        std::function<void(const QString& identifier)> openWindow;
    };

    explicit ContentViewModel(Dependencies deps, QObject* parent = nullptr);
    ~ContentViewModel() override;

    // Owned for the window's lifetime.
    CameraEngine* cameraEngine() const { return engine_.get(); }
    OverlayController* overlayController() const { return overlay_.get(); }
    PerformanceMonitor* performanceMonitor() const { return monitor_.get(); }
    VideoPlaybackService* videoPlayback() const { return playback_.get(); }
    const Dependencies& dependencies() const { return deps_; }

    // ---- Appearance and start-up ----
    // Runs the start-up sequence; the window calls it on every appearance. The extension
    // activation inside it happens once per installation.
    void appear();
    int appearanceCount() const { return appearances_; }
    // The steps the last appear() ran, in order (for diagnostics and tests).
    const QStringList& startupTrace() const { return startupTrace_; }
    bool shouldShowOnboarding() const { return !settings::hasSeenOnboarding(); }
    void onboardingClosed() { settings::setHasSeenOnboarding(true); }
    bool isDarkMode() const { return settings::appearanceIsDark(); }

    // ---- Approval banner ----
    bool showsApprovalBanner() const;
    void openSystemSettings();

    // ---- Camera bar ----
    bool isCameraRunning() const;
    QString cameraButtonTitle() const;
    QString statusWord() const;
    QString broadcastClockText() const;
    QString statsLine() const;
    QString cameraError() const;  // null: none
    void toggleCamera();
    // True when no physical camera was found and the feed uses the test pattern.
    bool usesTestPattern() const;
    // Whether other apps can see the "Ostrela" camera: a note under the camera bar while they
    // cannot, with the action that fixes it. Checked from the first appearance on.
    CameraReachabilityNote cameraReachability() const { return reachability_->note(); }
    CameraReachabilityMonitor* cameraReachabilityMonitor() const { return reachability_.get(); }
    void fixCameraReachability() { reachability_->fix(); }

    // ---- Effect ----
    VideoEffect effect() const { return settings::videoEffect(); }
    void setEffect(VideoEffect effect);
    QString effectHeading() const;
    bool showEffectPreview() const { return settings::showEffectPreview(); }
    void toggleEffectPreview();
    QString effectPreviewSymbol() const;
    QString effectPreviewHelp() const;

    // ---- Floating image ----
    bool isVideoPlaying() const;  // a video is loaded and plays out instead of the camera
    bool floatingImageAvailable() const { return !isVideoPlaying(); }
    bool overlayImageEnabled() const { return settings::overlayImageEnabled(); }
    void toggleOverlayImage();
    QString overlayImageSymbol() const;
    QString overlayImageHelp() const;
    bool fancyModeEnabled() const { return settings::fancyModeEnabled(); }
    void toggleFancyMode();
    QString fancyModeHelp() const;
    bool borderEnabled() const { return settings::overlayBorderEnabled(); }
    void toggleBorder();
    QString borderHelp() const;
    QString borderColorHex() const { return settings::overlayBorderColorHex(); }
    void chooseQuickBorderColor(int index);
    OverlayPlacement placement() const;
    void setPlacement(OverlayPlacement placement);
    double widthFraction() const;
    void setWidthFraction(double fraction);
    QString sizeText() const;
    bool isFullScreen() const;
    void toggleFullScreen();
    QString fullScreenSymbol() const;
    QString fullScreenHelp() const;

    // ---- Lower third ----
    bool lowerThirdEnabled() const { return settings::lowerThirdEnabled(); }
    void setLowerThirdEnabled(bool on);
    double barOpacity() const { return settings::lowerThirdBarOpacity(); }
    void setBarOpacity(double opacity);
    QString barOpacityText() const;
    QString lowerThirdText() const;
    void setLowerThirdText(const QString& text);
    QString lowerThirdPrompt() const;
    void textOverride();
    LowerThirdTextAlignment textAlignment() const { return settings::lowerThirdTextAlignment(); }
    void setTextAlignment(LowerThirdTextAlignment alignment);
    QString barColorHex() const { return settings::lowerThirdBarColorHex(); }
    QString textColorHex() const { return settings::lowerThirdTextColorHex(); }
    void chooseQuickBarColor(int index);
    void chooseQuickTextColor(int index);
    QList<PresetMenuEntry> presetsMenu() const;
    QStringList presets() const;
    void choosePreset(const QString& text);
    bool saveCurrentTextAsPreset();
    void openLowerThirdDesign();

    // ---- Settings changed elsewhere ----
    // Re-reads both stores when another window or process wrote them; emits changed().
    void pollSettings();

    // OverlaySink for the library's selection step.
    void setOverlayImageFromFile(const QString& path) override;
    void clearOverlayImage() override;

signals:
    // Any displayed state changed; the window re-reads what it shows.
    void changed();
    void cameraChanged();
    void statsChanged();
    void cameraReachabilityChanged();

private:
    void applySelection();

    Dependencies deps_;
    std::unique_ptr<OverlayController> overlay_;
    std::unique_ptr<PerformanceMonitor> monitor_;
    std::unique_ptr<VideoPlaybackService> playback_;
    std::unique_ptr<CameraEngine> engine_;
    std::unique_ptr<CameraReachabilityMonitor> reachability_;
    int appearances_ = 0;
    bool startingUp_ = false;
    QStringList startupTrace_;
    uint64_t seenSuiteRevision_ = 0;
    uint64_t seenStandardRevision_ = 0;
};

}  // namespace ostrela
