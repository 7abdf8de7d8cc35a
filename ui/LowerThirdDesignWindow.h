#pragma once
// The lower-third design window ("lowerThirdDesign"): content and live modes, scrolling, the
// Google Meet adjustment and the bar's colours, opacity, alignment and shadow, above a live
// preview of the bar. Every control writes its setting at once, so the camera follows.
#include "pipeline/Settings.h"
#include "sources/LowerThirdModes.h"
#include "sources/NowPlayingService.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"

#include <QColor>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPainter;
class QPushButton;
class QSlider;
class QTimer;

namespace ostrela {

namespace design {
inline constexpr const char kWindowIdentifier[] = "lowerThirdDesign";
inline constexpr const char kWindowTitle[] = "Lower Third Design";
inline constexpr int kWindowWidth = 360;
inline constexpr int kWindowHeight = 580;
inline constexpr int kPreviewHeight = 130;
inline constexpr int kSpeedLabelWidth = 64;
inline constexpr double kMinSpeed = 30;
inline constexpr double kMaxSpeed = 240;

inline constexpr const char kPlaceholder[] = "Lower-third text appears here";
inline constexpr const char kPausedMessage[] = "Live Preview Paused To Save CPU";
}  // namespace design

// Whole points per second, fractional part dropped: "89 pt/s" for 89.9.
QString scrollSpeedLabel(double speed);

// What the preview shows: video title (when one plays), the feed line, the weather line, else the
// typed text. Now playing is not previewed.
QString lowerThirdPreviewText(const LowerThirdTextInputs& in);

// The inputs of one preview bar.
struct LowerThirdPreviewInputs {
    QString text;
    QString barColorHex = QStringLiteral("188A8A");
    QString textColorHex = QStringLiteral("FFFFFF");
    double barOpacity = 1.0;
    LowerThirdTextAlignment alignment = LowerThirdTextAlignment::center;
    double scrollSpeed = 90.0;  // points per second in a 1280-point-wide frame
    bool textShadowEnabled = true;
    std::optional<QString> placeholder;
    bool showBottomEdgeGradient = true;
    bool alwaysScroll = false;
    bool previewFrozen = false;
    // Split and place headline by headline (the feed ticker).
    bool isTicker = false;

    // The design window's preview from the settings and the services' lines.
    static LowerThirdPreviewInputs fromSettings(const QString& weatherDisplayText, const QString& rssDisplayText);
};

// Where everything of one preview bar goes, for an area of width W and height H at time t.
struct LowerThirdPreviewLayout {
    enum class Mode { still, scrolling, placeholder, paused, empty };
    Mode mode = Mode::empty;
    double topLineHeight = 0;  // max(H × 0.035, 1.5)
    double textHeight = 0;     // T = H − top line
    double fontSize = 0;       // T × 0.46
    double inset = 0;          // W × 0.01875
    double usableWidth = 0;
    double textWidth = 0;      // measured trimmed text
    double cycle = 0;          // text plus separator
    double messageFontSize = 0;  // 0.7 × fontSize
    QString text;              // the trimmed text, or the message shown
    std::vector<double> copyX;  // left edges of the ticker copies (scrolling), or the one still place
    double gradientHeight = 0;  // max(T × 0.12, 3), 0 without the gradient
};

// The camera bar's font (barFont(), "HelveticaNeue-Bold" on this desktop) at the preview's size.
QFont lowerThirdPreviewFont(double pixelSize);
LowerThirdPreviewLayout layoutLowerThirdPreview(const LowerThirdPreviewInputs& in, const QSizeF& size, double t);
// Draws the preview bar into `area` at time t (seconds; the wall clock).
void paintLowerThirdPreview(QPainter& painter, const QRectF& area, const LowerThirdPreviewInputs& in, double t);

// The preview bar widget: redraws on a timeline while it scrolls and is not frozen.
class LowerThirdBarPreviewView : public QWidget {
    Q_OBJECT
public:
    explicit LowerThirdBarPreviewView(QWidget* parent = nullptr);
    const LowerThirdPreviewInputs& inputs() const { return inputs_; }
    void setInputs(const LowerThirdPreviewInputs& inputs);
    // Replaces the wall clock (screenshots, tests).
    void setFixedTime(std::optional<double> t);
    // Whether the wall-clock redraws run: while shown, scrolling and not frozen.
    bool isAnimating() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void showEvent(QShowEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    void updateTimer();
    LowerThirdPreviewInputs inputs_;
    std::optional<double> fixedTime_;
    QTimer* timer_ = nullptr;
};

// The panel's logic, without widgets: the mode switches with their exclusion, the two
// "Refresh Now" actions and the preview's inputs.
class LowerThirdDesignModel {
public:
    // Any pointer may be null. With `modes` the switches go through it (so the services follow);
    // without, the settings are written directly.
    LowerThirdDesignModel(WeatherService* weather, NowPlayingService* nowPlaying, RSSFeedService* rssFeed,
                          LowerThirdModes* modes = nullptr);

    bool modeEnabled(LowerThirdMode mode) const;
    // On turns the other three modes off; off touches nothing else.
    void setModeEnabled(LowerThirdMode mode, bool on);

    // One refresh with the service's cached ZIP code or feed address; nothing without one.
    void refreshWeatherNow();
    void refreshFeedNow();

    QString weatherDisplayText() const;
    QString rssDisplayText() const;
    LowerThirdPreviewInputs previewInputs() const;
    // "Now showing: …" or the note that no video plays.
    static QString videoTitleCaption(const QString& videoTitleText);
    // The scrolling section's notes: how ordinary text scrolls, and that the feed always does.
    static QString scrollingNote(bool alwaysScroll);
    static QString tickerNote(bool alwaysScroll);

    WeatherService* weatherService() const { return weather_; }
    RSSFeedService* rssFeedService() const { return rssFeed_; }
    LowerThirdModes* modes() const { return modes_; }

private:
    QPointer<WeatherService> weather_;
    QPointer<NowPlayingService> nowPlaying_;
    QPointer<RSSFeedService> rssFeed_;
    QPointer<LowerThirdModes> modes_;
};

class LowerThirdDesignWindow : public QWidget {
    Q_OBJECT
public:
    LowerThirdDesignWindow(WeatherService* weather, NowPlayingService* nowPlaying, RSSFeedService* rssFeed,
                           LowerThirdModes* modes = nullptr, QWidget* parent = nullptr);

    LowerThirdDesignModel& model() { return model_; }
    LowerThirdBarPreviewView* preview() const { return preview_; }
    // Reads every control's value from the settings again.
    void reloadFromSettings();

    // Colour choices (the picker buttons end here).
    void setBarColor(const QColor& color);
    void setTextColor(const QColor& color);

    // Controls, for tests.
    QCheckBox* modeToggle(LowerThirdMode mode) const;
    QLabel* speedLabel() const { return speedLabel_; }
    QSlider* speedSlider() const { return speedSlider_; }
    QLabel* videoTitleCaptionLabel() const { return videoCaption_; }
    QLabel* scrollingNoteLabel() const { return scrollNote_; }
    QLabel* tickerNoteLabel() const { return tickerNote_; }

protected:
    void showEvent(QShowEvent*) override;

private:
    void buildUi();
    void updatePreview();
    void updateCaptions();
    void updateColorButtons();
    void pickColor(bool bar);
    void checkSettingsRevision();

    LowerThirdDesignModel model_;
    bool loading_ = false;
    uint64_t seenRevision_ = 0;
    QTimer* settingsWatch_ = nullptr;

    LowerThirdBarPreviewView* preview_ = nullptr;
    QPushButton* barColorButton_ = nullptr;
    QPushButton* textColorButton_ = nullptr;
    QSlider* opacitySlider_ = nullptr;
    QLabel* opacityLabel_ = nullptr;
    QComboBox* alignmentCombo_ = nullptr;
    QCheckBox* shadowToggle_ = nullptr;
    QLineEdit* textField_ = nullptr;
    QCheckBox* nowPlayingToggle_ = nullptr;
    QCheckBox* weatherToggle_ = nullptr;
    QLineEdit* zipField_ = nullptr;
    QLabel* weatherCaption_ = nullptr;
    QCheckBox* rssToggle_ = nullptr;
    QLineEdit* feedField_ = nullptr;
    QLabel* rssCaption_ = nullptr;
    QCheckBox* videoTitleToggle_ = nullptr;
    QLabel* videoCaption_ = nullptr;
    QSlider* speedSlider_ = nullptr;
    QLabel* speedLabel_ = nullptr;
    QCheckBox* alwaysScrollToggle_ = nullptr;
    QLabel* scrollNote_ = nullptr;
    QLabel* tickerNote_ = nullptr;
    QCheckBox* frozenToggle_ = nullptr;
    QCheckBox* meetToggle_ = nullptr;
};

}  // namespace ostrela
