#pragma once
// Which text the lower-third bar shows, the four exclusive mode switches that choose it, the
// services that follow those switches, and the saved phrases (presets).
#include <QObject>
#include <QString>
#include <QStringList>

#include <QList>

namespace ostrela {

class WeatherService;
class NowPlayingService;
class RSSFeedService;

// The four mode switches; at most one is on.
enum class LowerThirdMode { weather, nowPlaying, rssFeed, videoTitle };
// Where the bar's text comes from, in priority order.
enum class LowerThirdTextSource { videoTitle, rssFeed, nowPlaying, weather, typedText };

// Window texts of the mode controls and the presets sheet.
namespace lowerthird {
inline constexpr const char kTextOverrideLabel[] = "Text Override";
inline constexpr const char kTextOverrideHelp[] = "Turn off Weather/Now Playing/RSS Feed mode so you can type text again";
inline constexpr const char kSaveAsPresetLabel[] = "Save Current Text as Preset";
inline constexpr const char16_t kManagePresetsLabel[] = u"Manage Presets\u2026";
inline constexpr const char kPresetsSheetTitle[] = "Lower Third Presets";
inline constexpr const char kRemovePresetLabel[] = "Remove Preset";
inline constexpr const char kNewPresetPrompt[] = "New preset text";
inline constexpr const char kAddLabel[] = "Add";
inline constexpr const char kDoneLabel[] = "Done";
inline constexpr int kPresetsListHeight = 220;
}  // namespace lowerthird

// Everything the text choice depends on.
struct LowerThirdTextInputs {
    bool videoTitleEnabled = false;
    QString videoTitleText;
    bool rssFeedEnabled = false;
    QString rssFeedDisplayText;
    bool nowPlayingEnabled = false;
    QString nowPlayingDisplayText;
    bool weatherEnabled = false;
    QString weatherDisplayText;
    QString lowerThirdText;

    // Read anew from the settings suite.
    static LowerThirdTextInputs fromSettings();
};

// Video title (only when one plays), then feed, now playing, weather, then the typed text. The
// three live modes show their stored line even when it is empty. Every text but the feed's ticker
// line is cut to bar::kMaxLineLength characters; the bar bounds the ticker itself.
LowerThirdTextSource lowerThirdTextSource(const LowerThirdTextInputs& in);
QString lowerThirdBarText(const LowerThirdTextInputs& in);
// The bar text for this frame, from the settings.
QString lowerThirdBarText();

// The settings-level operations, for windows that do not hold a LowerThirdModes.
namespace lowerthird {
bool modeEnabled(LowerThirdMode mode);
// A design-panel toggle: turning one mode on turns the other three off; turning off touches nothing else.
void setModeEnabled(LowerThirdMode mode, bool on);
// "Text Override": weather, now playing and feed off, in that order; video title keeps its value.
void turnOffLiveModes();
// Choosing a preset: weather off, now playing off, then the typed text. Feed and video title stay.
void choosePreset(const QString& text);
}  // namespace lowerthird

// The mode switches as the windows see them. Every setter writes the suite and hands the new
// values to the service that follows the setting; the services decide whether to start, restart
// or stop. Services may be null (that source then simply has no service).
class LowerThirdModes : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool weatherEnabled READ weatherEnabled WRITE setWeatherEnabled NOTIFY weatherEnabledChanged)
    Q_PROPERTY(QString weatherZipCode READ weatherZipCode WRITE setWeatherZipCode NOTIFY weatherZipCodeChanged)
    Q_PROPERTY(bool nowPlayingEnabled READ nowPlayingEnabled WRITE setNowPlayingEnabled NOTIFY nowPlayingEnabledChanged)
    Q_PROPERTY(bool rssFeedEnabled READ rssFeedEnabled WRITE setRssFeedEnabled NOTIFY rssFeedEnabledChanged)
    Q_PROPERTY(QString rssFeedURL READ rssFeedURL WRITE setRssFeedURL NOTIFY rssFeedURLChanged)
    Q_PROPERTY(bool lowerThirdVideoTitleEnabled READ lowerThirdVideoTitleEnabled WRITE setLowerThirdVideoTitleEnabled
                   NOTIFY lowerThirdVideoTitleEnabledChanged)
    Q_PROPERTY(QString lowerThirdText READ lowerThirdText WRITE setLowerThirdText NOTIFY lowerThirdTextChanged)

public:
    LowerThirdModes(WeatherService* weather, NowPlayingService* nowPlaying, RSSFeedService* rssFeed,
                    QObject* parent = nullptr);

    // Hands the stored settings to the three services once (the main window's first appearance).
    void applyToServices();
    // Re-reads the suite (another window or process may have written it); emits the change signals
    // and calls the services for what changed.
    void reload();

    bool weatherEnabled() const { return weatherEnabled_; }
    QString weatherZipCode() const { return weatherZipCode_; }
    bool nowPlayingEnabled() const { return nowPlayingEnabled_; }
    bool rssFeedEnabled() const { return rssFeedEnabled_; }
    QString rssFeedURL() const { return rssFeedURL_; }
    bool lowerThirdVideoTitleEnabled() const { return videoTitleEnabled_; }
    QString lowerThirdText() const { return lowerThirdText_; }
    bool modeEnabled(LowerThirdMode mode) const;

    // Mode toggles of the design panel: on turns the other three modes off.
    void setModeEnabled(LowerThirdMode mode, bool on);
    void setWeatherEnabled(bool on) { setModeEnabled(LowerThirdMode::weather, on); }
    void setNowPlayingEnabled(bool on) { setModeEnabled(LowerThirdMode::nowPlaying, on); }
    void setRssFeedEnabled(bool on) { setModeEnabled(LowerThirdMode::rssFeed, on); }
    void setLowerThirdVideoTitleEnabled(bool on) { setModeEnabled(LowerThirdMode::videoTitle, on); }
    void setWeatherZipCode(const QString& code);
    void setRssFeedURL(const QString& text);
    void setLowerThirdText(const QString& text);

    // "Text Override" in the main window.
    void turnOffLiveModes();
    // A preset chosen from the presets menu.
    void choosePreset(const QString& text);

signals:
    void weatherEnabledChanged();
    void weatherZipCodeChanged();
    void nowPlayingEnabledChanged();
    void rssFeedEnabledChanged();
    void rssFeedURLChanged();
    void lowerThirdVideoTitleEnabledChanged();
    void lowerThirdTextChanged();

private:
    void store(LowerThirdMode mode, bool on);
    void updateWeather();
    void updateNowPlaying();
    void updateRssFeed();

    WeatherService* weather_;
    NowPlayingService* nowPlaying_;
    RSSFeedService* rssFeed_;
    bool weatherEnabled_ = false;
    QString weatherZipCode_;
    bool nowPlayingEnabled_ = false;
    bool rssFeedEnabled_ = false;
    QString rssFeedURL_;
    bool videoTitleEnabled_ = false;
    QString lowerThirdText_;
};

// The saved phrases, in the user's order; every change stores the whole list as a JSON array
// under "lowerThirdPresets".
class LowerThirdPresets : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList presets READ presets WRITE setPresets NOTIFY presetsChanged)

public:
    // Reads the stored list (missing or undecodable: empty).
    explicit LowerThirdPresets(QObject* parent = nullptr);

    const QStringList& presets() const { return presets_; }
    void setPresets(const QStringList& presets);
    void reload();

    // "Save Current Text as Preset": the trimmed typed text, unless empty or already a preset.
    // True when it was added.
    bool saveCurrentTextAsPreset();
    // The sheet's "Add": the trimmed text, duplicates allowed. True when added (the caller then
    // empties its field).
    bool addPreset(const QString& newPresetText);
    void removePreset(int row);
    void removePresets(QList<int> rows);
    // Moves the rows `from` to before the row `to` (positions counted before the move), keeping
    // their order, as a list view's drag does.
    void movePresets(QList<int> from, int to);

signals:
    void presetsChanged();

private:
    QStringList presets_;
};

}  // namespace ostrela
