#include "ui/ContentViewModel.h"

#include "pipeline/capture/CameraBackend.h"
#include "effects/Effects.h"
#include "extension/ExtensionManager.h"
#include "library/VideoPlaybackService.h"
#include "pipeline/CameraEngine.h"
#include "pipeline/OverlayController.h"
#include "pipeline/PerformanceMonitor.h"
#include "sources/LowerThirdModes.h"
#include "sources/NowPlayingService.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"
#include "ui/VideoPaneModel.h"

#include <algorithm>
#include <cmath>

namespace ostrela {

QString lowerThirdPrompt(bool rss, bool nowPlaying, bool weather) {
    if (rss) return QString::fromUtf8(content::kPromptRSS);
    if (nowPlaying) return QString::fromUtf8(content::kPromptNowPlaying);
    if (weather) return QString::fromUtf8(content::kPromptWeather);
    return QString::fromUtf8(content::kPromptText);
}

QString alignmentHelp(LowerThirdTextAlignment a) {
    switch (a) {
    case LowerThirdTextAlignment::leading: return QStringLiteral("Align Leading");
    case LowerThirdTextAlignment::center: return QStringLiteral("Align Center");
    case LowerThirdTextAlignment::trailing: return QStringLiteral("Align Trailing");
    }
    return {};
}

QString alignmentSymbol(LowerThirdTextAlignment a) {
    switch (a) {
    case LowerThirdTextAlignment::leading: return QStringLiteral("text.alignleft");
    case LowerThirdTextAlignment::center: return QStringLiteral("text.aligncenter");
    case LowerThirdTextAlignment::trailing: return QStringLiteral("text.alignright");
    }
    return {};
}

QString effectDisplayName(VideoEffect effect) { return QString::fromUtf8(effects::effectInfo(effect).displayName); }

ContentViewModel::ContentViewModel(Dependencies deps, QObject* parent)
    : QObject(parent),
      deps_(std::move(deps)),
      overlay_(std::make_unique<OverlayController>()),
      monitor_(std::make_unique<PerformanceMonitor>()),
      playback_(std::make_unique<VideoPlaybackService>()),
      engine_(std::make_unique<CameraEngine>(deps_.captureBackend)),
      reachability_(std::make_unique<CameraReachabilityMonitor>(deps_.extensionManager)) {
    engine_->setFrameRenderer(CameraEngine::composedFrameRenderer([] { return lowerThirdBarText(); }));
    connect(reachability_.get(), &CameraReachabilityMonitor::noteChanged, this,
            &ContentViewModel::cameraReachabilityChanged);
    connect(engine_.get(), &CameraEngine::isRunningChanged, this, &ContentViewModel::cameraChanged);
    connect(engine_.get(), &CameraEngine::lastErrorChanged, this, &ContentViewModel::cameraChanged);
    connect(engine_.get(), &CameraEngine::broadcastElapsedSecondsChanged, this, &ContentViewModel::cameraChanged);
    connect(monitor_.get(), &PerformanceMonitor::fpsChanged, this, &ContentViewModel::statsChanged);
    connect(monitor_.get(), &PerformanceMonitor::cpuPercentChanged, this, &ContentViewModel::statsChanged);
    connect(monitor_.get(), &PerformanceMonitor::memoryMBChanged, this, &ContentViewModel::statsChanged);
    connect(overlay_.get(), &OverlayController::placementChanged, this, &ContentViewModel::changed);
    connect(overlay_.get(), &OverlayController::widthFractionChanged, this, &ContentViewModel::changed);
    connect(overlay_.get(), &OverlayController::isFullScreenChanged, this, &ContentViewModel::changed);
    connect(playback_.get(), &VideoPlaybackService::loadedURLChanged, this, &ContentViewModel::changed);
    if (deps_.extensionManager)
        connect(deps_.extensionManager, &ExtensionManager::isAwaitingApprovalChanged, this, &ContentViewModel::changed);
    if (deps_.libraryController)
        connect(deps_.libraryController, &OverlayLibraryController::selectedIDChanged, this,
                &ContentViewModel::applySelection);
    if (deps_.modes) {
        for (auto sig : {&LowerThirdModes::weatherEnabledChanged, &LowerThirdModes::nowPlayingEnabledChanged,
                         &LowerThirdModes::rssFeedEnabledChanged, &LowerThirdModes::lowerThirdTextChanged,
                         &LowerThirdModes::lowerThirdVideoTitleEnabledChanged})
            connect(deps_.modes, sig, this, &ContentViewModel::changed);
    }
    if (deps_.presets) connect(deps_.presets, &LowerThirdPresets::presetsChanged, this, &ContentViewModel::changed);
    if (SettingsStore* suite = SettingsStore::suite()) seenSuiteRevision_ = suite->revision();
    seenStandardRevision_ = SettingsStore::standard().revision();
}

ContentViewModel::~ContentViewModel() {
    // The engine goes first: it must not ask a player or monitor that is already gone.
    engine_.reset();
}

// ---- Start-up ----

void ContentViewModel::appear() {
    ++appearances_;
    startupTrace_.clear();
    // Loading the library may select its first item; that selection is applied in step 4, in order.
    startingUp_ = true;
    // 1. A crash during full screen must not leave the next start blown up.
    if (SettingsStore::suite()) {
        settings::setIsOverlayFullScreen(false);
        startupTrace_ << QStringLiteral("resetFullScreen");
    }
    // 2. The library and its paste shortcut.
    if (auto* library = deps_.libraryController) {
        library->load();
        library->startPasteMonitor();
        startupTrace_ << QStringLiteral("library");
    }
    startingUp_ = false;
    // 3. Statistics, and the engine's weak links to the monitor and the player.
    monitor_->start();
    engine_->setPerformanceMonitor(monitor_.get(), [m = monitor_.get()] { m->recordFrame(); });
    engine_->setVideoPlayback(playback_.get(), playback_->frameSource());
    startupTrace_ << QStringLiteral("performanceMonitor");
    // 4. What the library has selected goes to the overlay and the player.
    if (deps_.libraryController) {
        deps_.libraryController->applySelection(this, playback_.get());
        startupTrace_ << QStringLiteral("applySelection");
    }
    // 5. Once per installation: the flag first, so a failed request isn't repeated by itself.
    if (!settings::hasAttemptedInitialActivation()) {
        settings::setHasAttemptedInitialActivation(true);
        if (deps_.extensionManager) deps_.extensionManager->activate();
        startupTrace_ << QStringLiteral("activateExtension");
    }
    // Whether other apps can see the camera, from now on (after the activation above was submitted).
    reachability_->start();
    // 6. The text services from their settings.
    if (deps_.modes) {
        deps_.modes->reload();
        deps_.modes->applyToServices();
    } else {
        if (deps_.weatherService) deps_.weatherService->update(settings::weatherEnabled(), settings::weatherZipCode());
        if (deps_.nowPlayingService) deps_.nowPlayingService->setEnabled(settings::nowPlayingEnabled());
        if (deps_.rssFeedService) deps_.rssFeedService->update(settings::rssFeedEnabled(), settings::rssFeedURL());
    }
    startupTrace_ << QStringLiteral("textServices");
    emit changed();
}

void ContentViewModel::applySelection() {
    if (startingUp_) return;
    if (deps_.libraryController) deps_.libraryController->applySelection(this, playback_.get());
    emit changed();
}

void ContentViewModel::setOverlayImageFromFile(const QString& path) {
    overlay_->setImage(path);
    emit changed();
}

void ContentViewModel::clearOverlayImage() {
    overlay_->setOverlayImage(QImage());
    overlay_->removeOverlayFile();
    emit changed();
}

// ---- Approval banner ----

bool ContentViewModel::showsApprovalBanner() const {
    return deps_.extensionManager && deps_.extensionManager->isAwaitingApproval();
}

void ContentViewModel::openSystemSettings() { ExtensionManager::openExtensionSettings(); }

// ---- Camera bar ----

bool ContentViewModel::isCameraRunning() const { return engine_->isRunning(); }

QString ContentViewModel::cameraButtonTitle() const {
    return QString::fromUtf8(isCameraRunning() ? content::kStopCamera : content::kStartCamera);
}

QString ContentViewModel::statusWord() const {
    return QString::fromUtf8(isCameraRunning() ? content::kRunning : content::kStopped);
}

QString ContentViewModel::broadcastClockText() const { return engine_->broadcastClockText(); }
QString ContentViewModel::statsLine() const { return monitor_->statsLine(); }
QString ContentViewModel::cameraError() const { return engine_->lastError(); }

void ContentViewModel::toggleCamera() {
    if (engine_->isRunning()) engine_->stop();
    else engine_->start();
    emit cameraChanged();
}

bool ContentViewModel::usesTestPattern() const {
    auto* desktop = dynamic_cast<DesktopCaptureBackend*>(deps_.captureBackend.get());
    return desktop && desktop->usedSyntheticCamera();
}

// ---- Effect ----

void ContentViewModel::setEffect(VideoEffect effect) {
    settings::setVideoEffect(effect);
    emit changed();
}

QString ContentViewModel::effectHeading() const {
    return QString::fromUtf8(content::kEffectHeadingPrefix) + effectDisplayName(effect());
}

void ContentViewModel::toggleEffectPreview() {
    settings::setShowEffectPreview(!showEffectPreview());
    emit changed();
}

QString ContentViewModel::effectPreviewSymbol() const {
    return showEffectPreview() ? QStringLiteral("eye.fill") : QStringLiteral("eye.slash.fill");
}

QString ContentViewModel::effectPreviewHelp() const {
    return QString::fromUtf8(showEffectPreview() ? content::kHideEffectPreviewHelp : content::kShowEffectPreviewHelp);
}

// ---- Floating image ----

bool ContentViewModel::isVideoPlaying() const { return !playback_->loadedURL().isEmpty(); }

void ContentViewModel::toggleOverlayImage() {
    settings::setOverlayImageEnabled(!overlayImageEnabled());
    emit changed();
}
QString ContentViewModel::overlayImageSymbol() const {
    return overlayImageEnabled() ? QStringLiteral("eye.fill") : QStringLiteral("eye.slash.fill");
}
QString ContentViewModel::overlayImageHelp() const {
    return QString::fromUtf8(overlayImageEnabled() ? content::kHideFloatingImageHelp : content::kShowFloatingImageHelp);
}

void ContentViewModel::toggleFancyMode() {
    settings::setFancyModeEnabled(!fancyModeEnabled());
    emit changed();
}
QString ContentViewModel::fancyModeHelp() const {
    return QString::fromUtf8(fancyModeEnabled() ? content::kFancyOffHelp : content::kFancyOnHelp);
}

void ContentViewModel::toggleBorder() {
    settings::setOverlayBorderEnabled(!borderEnabled());
    emit changed();
}
QString ContentViewModel::borderHelp() const {
    return QString::fromUtf8(borderEnabled() ? content::kBorderOffHelp : content::kBorderOnHelp);
}

namespace {
const QuickColor* quickColor(int index) {
    if (index < 0 || index >= int(std::size(kQuickColors))) return nullptr;
    return &kQuickColors[index];
}
}  // namespace

void ContentViewModel::chooseQuickBorderColor(int index) {
    if (auto* c = quickColor(index)) settings::setOverlayBorderColorHex(QString::fromLatin1(c->hex));
    emit changed();
}

OverlayPlacement ContentViewModel::placement() const { return overlay_->placement(); }

void ContentViewModel::setPlacement(OverlayPlacement placement) {
    overlay_->setPlacement(placement);
    emit changed();
}

double ContentViewModel::widthFraction() const { return overlay_->widthFraction(); }

void ContentViewModel::setWidthFraction(double fraction) {
    if (!std::isfinite(fraction)) return;
    overlay_->setWidthFraction(std::clamp(fraction, content::kOverlayMinFraction, content::kOverlayMaxFraction));
    overlay_->persistWidthFraction();
    emit changed();
}

QString ContentViewModel::sizeText() const { return videopane::percentText(widthFraction()); }
bool ContentViewModel::isFullScreen() const { return overlay_->isFullScreen(); }

void ContentViewModel::toggleFullScreen() {
    overlay_->toggleFullScreen(overlay_->fullScreenFraction());
    emit changed();
}

QString ContentViewModel::fullScreenSymbol() const {
    return isFullScreen() ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                          : QStringLiteral("arrow.up.left.and.arrow.down.right");
}
QString ContentViewModel::fullScreenHelp() const {
    return QString::fromUtf8(isFullScreen() ? content::kReturnSizeHelp : content::kFullScreenHelp);
}

// ---- Lower third ----

void ContentViewModel::setLowerThirdEnabled(bool on) {
    settings::setLowerThirdEnabled(on);
    emit changed();
}

void ContentViewModel::setBarOpacity(double opacity) {
    if (!std::isfinite(opacity)) return;
    settings::setLowerThirdBarOpacity(std::clamp(opacity, 0.0, 1.0));
    emit changed();
}

QString ContentViewModel::barOpacityText() const { return videopane::percentText(barOpacity()); }

QString ContentViewModel::lowerThirdText() const {
    return deps_.modes ? deps_.modes->lowerThirdText() : settings::lowerThirdText();
}

void ContentViewModel::setLowerThirdText(const QString& text) {
    if (deps_.modes) deps_.modes->setLowerThirdText(text);
    else settings::setLowerThirdText(text);
    emit changed();
}

QString ContentViewModel::lowerThirdPrompt() const {
    // Read from the suite: the modes may have been switched by another window or process.
    return ostrela::lowerThirdPrompt(settings::rssFeedEnabled(), settings::nowPlayingEnabled(), settings::weatherEnabled());
}

void ContentViewModel::textOverride() {
    if (deps_.modes) deps_.modes->turnOffLiveModes();
    else lowerthird::turnOffLiveModes();
    emit changed();
}

void ContentViewModel::setTextAlignment(LowerThirdTextAlignment alignment) {
    settings::setLowerThirdTextAlignment(alignment);
    emit changed();
}

void ContentViewModel::chooseQuickBarColor(int index) {
    if (auto* c = quickColor(index)) settings::setLowerThirdBarColorHex(QString::fromLatin1(c->hex));
    emit changed();
}

void ContentViewModel::chooseQuickTextColor(int index) {
    if (auto* c = quickColor(index)) settings::setLowerThirdTextColorHex(QString::fromLatin1(c->hex));
    emit changed();
}

QStringList ContentViewModel::presets() const {
    return deps_.presets ? deps_.presets->presets() : settings::lowerThirdPresets();
}

QList<PresetMenuEntry> ContentViewModel::presetsMenu() const {
    QList<PresetMenuEntry> out;
    const QStringList list = presets();
    if (list.isEmpty()) out.append({PresetMenuEntry::Kind::emptyNote, QString::fromUtf8(content::kNoPresets), false});
    for (const QString& p : list) out.append({PresetMenuEntry::Kind::preset, p, true});
    out.append({PresetMenuEntry::Kind::saveCurrent, QString::fromUtf8(lowerthird::kSaveAsPresetLabel),
                !lowerThirdText().trimmed().isEmpty()});
    out.append({PresetMenuEntry::Kind::manage, QString::fromUtf16(lowerthird::kManagePresetsLabel), true});
    return out;
}

void ContentViewModel::choosePreset(const QString& text) {
    if (deps_.modes) deps_.modes->choosePreset(text);
    else lowerthird::choosePreset(text);
    emit changed();
}

bool ContentViewModel::saveCurrentTextAsPreset() {
    if (!deps_.presets) return false;
    const bool added = deps_.presets->saveCurrentTextAsPreset();
    emit changed();
    return added;
}

void ContentViewModel::openLowerThirdDesign() {
    if (deps_.openWindow) deps_.openWindow(QStringLiteral("lowerThirdDesign"));
}

// ---- Settings changed elsewhere ----

void ContentViewModel::pollSettings() {
    SettingsStore* suite = SettingsStore::suite();
    SettingsStore& standard = SettingsStore::standard();
    // Reading any key lets the store notice a newer file.
    if (suite) (void)suite->contains(keys::lowerThirdText);
    (void)standard.contains(keys::appearanceIsDark);
    const uint64_t s = suite ? suite->revision() : 0;
    const uint64_t d = standard.revision();
    if (s == seenSuiteRevision_ && d == seenStandardRevision_) return;
    seenSuiteRevision_ = s;
    seenStandardRevision_ = d;
    if (deps_.modes) deps_.modes->reload();  // hands changed switches to the services
    if (deps_.presets) {
        const QStringList stored = settings::lowerThirdPresets();
        if (stored != deps_.presets->presets()) deps_.presets->reload();
    }
    emit changed();
}

}  // namespace ostrela
