#pragma once
// Settings: the shared suite read by the frame pipeline on every frame, the standard store, the
// value enums stored in them, and one small reader and writer per key.
#include "pipeline/SettingsKeys.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ostrela {

// ---- Value enums (declaration order is iteration order; the raw value is the case name) ----

enum class OverlayPlacement { topLeft, topRight, bottomLeft, bottomRight };
enum class LowerThirdTextAlignment { leading, center, trailing };
enum class VideoEffect {
    none, oldTV, securityCam, flame, vhs, thermal, snow, anaglyph3D,
    nightOps, cyberOps, cableAccess, xray, noir, drunkMode, missionControl, dreamSequence
};

inline constexpr std::array kAllOverlayPlacements{OverlayPlacement::topLeft, OverlayPlacement::topRight,
                                                  OverlayPlacement::bottomLeft, OverlayPlacement::bottomRight};
inline constexpr std::array kAllTextAlignments{LowerThirdTextAlignment::leading, LowerThirdTextAlignment::center,
                                               LowerThirdTextAlignment::trailing};
inline constexpr std::array kAllVideoEffects{
    VideoEffect::none, VideoEffect::oldTV, VideoEffect::securityCam, VideoEffect::flame,
    VideoEffect::vhs, VideoEffect::thermal, VideoEffect::snow, VideoEffect::anaglyph3D,
    VideoEffect::nightOps, VideoEffect::cyberOps, VideoEffect::cableAccess, VideoEffect::xray,
    VideoEffect::noir, VideoEffect::drunkMode, VideoEffect::missionControl, VideoEffect::dreamSequence};

const char* rawValue(OverlayPlacement v);
const char* rawValue(LowerThirdTextAlignment v);
const char* rawValue(VideoEffect v);
// Exact, case-sensitive match of the raw value.
std::optional<OverlayPlacement> overlayPlacementFromRaw(std::string_view raw);
std::optional<LowerThirdTextAlignment> textAlignmentFromRaw(std::string_view raw);
std::optional<VideoEffect> videoEffectFromRaw(std::string_view raw);

// ---- Colours ----

struct RGBColor {
    double r = 0, g = 0, b = 0;
    bool operator==(const RGBColor&) const = default;
};
// "RRGGBB", tolerating "#", case and surrounding white space; unparsable text gives black.
RGBColor parseHexColor(std::string_view text);
RGBColor parseHexColor(const QString& text);
inline RGBColor parseHexColor(const char* text) { return parseHexColor(std::string_view(text)); }
// Upper-case "RRGGBB" from components in 0…1.
QString hexColorString(double r, double g, double b);

// ---- Stores ----

// One persistent key/value store, backed by one JSON file "<name>.json" in configDirectory().
// Values are bool, double, QString or QByteArray (data). Reads are served from memory; the file is
// looked at again at most every kRecheckInterval so writes from other processes are picked up
// without a restart. Writes replace the file atomically under an advisory lock and merge with
// what other processes wrote meanwhile. A store file that cannot be decoded is copied aside
// ("<name>.json.corrupt-<time>") before anything is written over it.
class SettingsStore {
public:
    static constexpr int64_t kRecheckIntervalNs = 100'000'000;  // 100 ms

    // The named store, or null when it cannot be opened (no usable configuration directory).
    static SettingsStore* suite(std::string_view name = kSuiteName);
    // The standard store never fails: without a usable directory it lives in memory only.
    static SettingsStore& standard();
    // Forget every opened store so the next open resolves paths again (tests change the environment).
    static void resetForTesting();

    ~SettingsStore();

    QVariant value(std::string_view key);  // invalid QVariant when missing
    bool contains(std::string_view key);
    std::optional<bool> boolValue(std::string_view key);      // present and boolean
    std::optional<double> doubleValue(std::string_view key);  // present and numeric
    std::optional<QString> stringValue(std::string_view key); // present and a string
    std::optional<QByteArray> dataValue(std::string_view key);

    void set(std::string_view key, const QVariant& value);
    void remove(std::string_view key);
    // Re-read the file now instead of waiting for the recheck interval.
    void synchronize();

    // Increases whenever the contents seen by this process change (own writes or reloads).
    uint64_t revision() const { return revision_.load(std::memory_order_relaxed); }
    const std::string& filePath() const { return path_; }
    // True while the file on disk could not be decoded (its copy is made on the next write).
    bool fileWasUnreadable() const { return unreadable_; }

private:
    SettingsStore(std::string name, std::string path);
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using Map = std::unordered_map<std::string, QVariant, Hash, std::equal_to<>>;

    void refreshIfStale();         // caller holds mutex_
    void loadFromDisk(bool force); // caller holds mutex_
    bool write(std::string_view key, const QVariant* value);

    std::string name_;
    std::string path_;  // empty: memory only
    std::mutex mutex_;
    Map values_;
    int64_t lastCheckNs_ = 0;
    struct FileId { uint64_t dev = 0, ino = 0; int64_t mtimeNs = 0; int64_t size = -1; bool operator==(const FileId&) const = default; };
    FileId seen_;
    bool unreadable_ = false;
    std::atomic<uint64_t> revision_{0};
};

// ---- Readers and writers, one per key ----
// Each opens its store by name, reads or writes one key and applies that key's fallback rule.

namespace settings {

// Standard store.
bool appearanceIsDark();
void setAppearanceIsDark(bool);
bool hasAttemptedInitialActivation();
void setHasAttemptedInitialActivation(bool);
bool hasSeenOnboarding();
void setHasSeenOnboarding(bool);
bool showEffectPreview();  // default true
void setShowEffectPreview(bool);

// Floating image.
bool overlayImageEnabled();  // default true
void setOverlayImageEnabled(bool);
OverlayPlacement overlayPlacement();
void setOverlayPlacement(OverlayPlacement);
double overlayWidthFraction();  // ≤ 0 or missing reads as 0.32
void setOverlayWidthFraction(double);
bool isOverlayFullScreen();
void setIsOverlayFullScreen(bool);
bool overlayBorderEnabled();  // default true
void setOverlayBorderEnabled(bool);
QString overlayBorderColorHex();  // default "188A8A"
void setOverlayBorderColorHex(const QString&);
bool fancyModeEnabled();
void setFancyModeEnabled(bool);

// Camera and effect.
QString selectedCameraUniqueID();
void setSelectedCameraUniqueID(const QString&);
VideoEffect videoEffect();
void setVideoEffect(VideoEffect);

// Lower third.
bool lowerThirdEnabled();
void setLowerThirdEnabled(bool);
QString lowerThirdText();
void setLowerThirdText(const QString&);
QString lowerThirdBarColorHex();  // default "188A8A"
void setLowerThirdBarColorHex(const QString&);
QString lowerThirdTextColorHex();  // default "FFFFFF"
void setLowerThirdTextColorHex(const QString&);
double lowerThirdBarOpacity();  // 1.0 only when absent; no clamping
void setLowerThirdBarOpacity(double);
LowerThirdTextAlignment lowerThirdTextAlignment();
void setLowerThirdTextAlignment(LowerThirdTextAlignment);
double lowerThirdScrollSpeed();  // 90.0 only when absent; no clamping
void setLowerThirdScrollSpeed(double);
bool lowerThirdTextShadowEnabled();  // default true
void setLowerThirdTextShadowEnabled(bool);
bool lowerThirdGoogleMeetSafeArea();
void setLowerThirdGoogleMeetSafeArea(bool);
bool lowerThirdAlwaysScroll();
void setLowerThirdAlwaysScroll(bool);
bool lowerThirdPreviewFrozen();
void setLowerThirdPreviewFrozen(bool);

// Text sources.
bool weatherEnabled();
void setWeatherEnabled(bool);
QString weatherZipCode();
void setWeatherZipCode(const QString&);
bool nowPlayingEnabled();
void setNowPlayingEnabled(bool);
bool rssFeedEnabled();
void setRssFeedEnabled(bool);
QString rssFeedURL();
void setRssFeedURL(const QString&);
bool lowerThirdVideoTitleEnabled();
void setLowerThirdVideoTitleEnabled(bool);
QString lowerThirdVideoTitleText();
void setLowerThirdVideoTitleText(const QString&);
QString weatherDisplayText();
void setWeatherDisplayText(const QString&);
QString nowPlayingDisplayText();
void setNowPlayingDisplayText(const QString&);
QString rssFeedDisplayText();
void setRssFeedDisplayText(const QString&);

// Video and camera picture-in-picture.
bool videoCameraPiPEnabled();
void setVideoCameraPiPEnabled(bool);
OverlayPlacement videoCameraPiPPlacement();
void setVideoCameraPiPPlacement(OverlayPlacement);
double videoCameraPiPWidthFraction();  // ≤ 0 or missing reads as 0.26
void setVideoCameraPiPWidthFraction(double);
double videoPlaybackVolume();  // default 1.0
void setVideoPlaybackVolume(double);

// Presets and library sidebar.
QStringList lowerThirdPresets();  // missing or undecodable: empty
void setLowerThirdPresets(const QStringList&);
bool libraryAllItemsExpanded();  // default true
void setLibraryAllItemsExpanded(bool);
QString libraryCollapsedFolderIDs();
void setLibraryCollapsedFolderIDs(const QString&);

}  // namespace settings
}  // namespace ostrela
