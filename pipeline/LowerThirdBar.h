#pragma once
// The lower-third bar: which text it shows and the 1280 × (83 + barLift) bitmap drawn for one
// moment. The engine composites it at the bottom left of every frame while "lowerThirdEnabled" is
// on; the design window draws the same bitmap for its live preview.
//
// Bitmap coordinates in the comments are y-up from the bar's bottom edge; the QImages themselves
// are top row first. One text point is one pixel.
#include "pipeline/Settings.h"
#include "pipeline/engine/Image.h"

#include <QFont>
#include <QImage>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <memory>

class QPainter;
class QTextLayout;

namespace ostrela {

namespace bar {
inline constexpr int kWidth = 1280;
inline constexpr int kHeight = 83;                // without the Google Meet lift
inline constexpr int kGoogleMeetLift = 36;
inline constexpr double kTopLineHeight = 2.905;   // opaque white at the very top
inline constexpr double kTextBandHeight = 80.095; // kHeight − kTopLineHeight, starting at barLift
inline constexpr double kShadeHeight = 9.96;      // black 0.28 → 0 from the bottom edge up
inline constexpr double kShadeAlpha = 0.28;
inline constexpr double kFontPixels = 38.18;      // 0.46 of the 83-pixel bar
inline constexpr double kSideMargin = 24;
inline constexpr double kMaxStillWidth = 1232;    // kWidth − 2 × kSideMargin
inline constexpr double kShadowDx = 1.0, kShadowDy = -2.0, kShadowBlur = 3.0, kShadowAlpha = 0.55;
// Appended to every repetition of the ticker: three spaces, a bullet, three spaces.
inline constexpr char16_t kTickerSeparator[] = u"   \u2022   ";

// The longest text one source gives the bar, in user-perceived characters (grapheme clusters),
// the ellipsis included: a headline, the now-playing line, the typed text, a video title. Longer
// texts cost the camera a frame's time to lay out and bloat the settings file on every write.
inline constexpr int kMaxLineLength = 300;
// The longest text the bar lays out: a ticker of twelve headlines of the longest length joined by
// the seven-character separator.
inline constexpr int kMaxTextLength = 12 * kMaxLineLength + 11 * 7;
// A cut text also keeps to this many UTF-16 code units per character of its length, so clusters
// piled up with combining marks cannot make it long again.
inline constexpr int kMaxCodeUnitsPerCharacter = 8;
}  // namespace bar

// `text` when it is at most `maxCharacters` characters long (and within the code-unit bound);
// otherwise its first maxCharacters − 1 characters and "…", exactly maxCharacters long. The cut
// falls between grapheme clusters, so no surrogate pair, emoji sequence or accented letter is
// split; only a single cluster longer than the whole code-unit bound is cut inside, between code
// points. Looks at no more of `text` than the bound, so a megabyte costs what a line does. Every
// text source and the bar cut through this.
QString cutBarText(const QString& text, int maxCharacters = bar::kMaxLineLength);

// Everything the bar's look depends on besides the text and the time.
struct LowerThirdBarStyle {
    QString barColorHex = QStringLiteral("188A8A");
    QString textColorHex = QStringLiteral("FFFFFF");
    double opacity = 1.0;
    LowerThirdTextAlignment alignment = LowerThirdTextAlignment::center;
    double scrollSpeed = 90.0;  // pixels per second
    bool textShadow = true;
    bool alwaysScroll = false;  // true whenever the feed is on
    int barLift = 0;            // 36 with the Google Meet safe area, else 0

    // Read anew from the settings; barLift follows "lowerThirdGoogleMeetSafeArea".
    static LowerThirdBarStyle fromSettings();
    int height() const { return bar::kHeight + barLift; }
    bool operator==(const LowerThirdBarStyle&) const = default;
};

// The bar's font: "HelveticaNeue-Bold" stands for Liberation Sans Bold (Helvetica's metrics), with
// fallbacks for Arabic, Hebrew and colour emoji, at 38.18 pixels.
QFont barFont();

// The text as the bar lays it out on its one line: every control character (tab, newline, carriage
// return...) and every line or paragraph separator (U+2028, U+2029) becomes one space each, so
// nothing after a break vanishes and a tab is no wider than a space. Same length as `text`.
QString barLineText(const QString& text);

// One line of bar text laid out with the bar's font at any pixel size, emoji taken from the colour
// emoji font. The camera bar and the design window's preview both draw their text through this,
// so an emoji looks the same in both. Cheap to copy (the layout is shared).
class BarTextLine {
public:
    BarTextLine() = default;
    BarTextLine(const QString& text, double pixelSize);

    bool isEmpty() const { return !layout_; }
    // The string laid out: barLineText of the one given, which is first cut (cutBarText) to the
    // longest ticker loop the bar lays out.
    const QString& text() const { return text_; }
    double ascent() const { return ascent_; }
    double descent() const { return descent_; }
    double advance() const { return advance_; }  // typographic width
    // Glyph-outline bounds, y down, relative to the line's top (the baseline lies at ascent()).
    QRectF ink() const { return ink_; }
    // Pen position after the first `utf16Index` code units, from the line's start.
    double xAt(int utf16Index) const;
    // Draws the line with its baseline starting at `pen`; emoji keep their own colours.
    void draw(QPainter& painter, const QPointF& pen, const QColor& color) const;

private:
    std::shared_ptr<const QTextLayout> layout_;
    QString text_;
    double ascent_ = 0, descent_ = 0, advance_ = 0;
    QRectF ink_;
};

// Glyph-outline bounds of the text (cut to bar::kMaxTextLength first, as the bar does) laid out
// as one line, relative to its pen origin (y-up from the baseline), and the ticker loop
// (text + separator) measured the same way.
struct BarTextMetrics {
    double x0 = 0, y0 = 0, width = 0, height = 0;  // glyph box of the text
    double loopX0 = 0;                             // glyph box origin of text + separator
    double cycle = 0;                              // typographic width of text + separator
};
BarTextMetrics measureBarText(const QString& text);

// Text that fits stands still unless asked to scroll; 1232 pixels still fits.
inline bool barTextScrolls(double glyphWidth, bool alwaysScroll) {
    return alwaysScroll || glyphWidth > bar::kMaxStillWidth;
}

// The bar for `text` (trimmed of white space here, and cut to bar::kMaxTextLength
// characters with an ellipsis before anything is laid out) at time t, seconds since 2001-01-01 UTC:
// premultiplied ARGB32, 1280 × style.height(), top row first. Null when it cannot be made.
// Each call lays the text out anew; the renderer below keeps the work between frames.
QImage drawLowerThirdBar(const LowerThirdBarStyle& style, const QString& text, double t);

// Draws bars frame after frame, keeping the background, the text layout and the text strip until
// the text, the style or the size changes; a scrolling ticker only moves the cached strip.
class LowerThirdBarRenderer {
public:
    LowerThirdBarRenderer();
    ~LowerThirdBarRenderer();
    LowerThirdBarRenderer(const LowerThirdBarRenderer&) = delete;
    LowerThirdBarRenderer& operator=(const LowerThirdBarRenderer&) = delete;

    // The same picture as drawLowerThirdBar.
    QImage image(const LowerThirdBarStyle& style, const QString& text, double t);
    // The bar as an image of the engine at (0, 0, 1280, height): the cached bitmap, or for a
    // ticker the cached background with the cached strip translated to this moment's places.
    engine::Image compose(const LowerThirdBarStyle& style, const QString& text, double t);
    // The same bar composited over `frame` at its bottom left, without an intermediate copy.
    engine::Image composeOver(const engine::Image& frame, const LowerThirdBarStyle& style, const QString& text,
                              double t);

    // How often the background was painted and the text laid out (the cache at work).
    int backgroundDraws() const;
    int textLayouts() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace ostrela
