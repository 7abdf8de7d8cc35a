#include "ui/LowerThirdDesignWindow.h"

#include "pipeline/CameraEngine.h"
#include "pipeline/FrameClock.h"
#include "pipeline/LowerThirdBar.h"
#include "sources/NowPlayingService.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFontMetricsF>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace ostrela {

namespace {

constexpr int kSpeedSliderScale = 10;  // the slider counts tenths of points per second
constexpr int kAnimationIntervalMs = 33;

const char kWeatherToggleText[] = "Show weather instead of typed text";
const char kNowPlayingToggleText[] = "Show currently playing song instead of typed text";
const char kRssToggleText[] = "Show an RSS feed ticker instead of typed text";
const char kRssToggleHelp[] =
    "Scrolls headlines from the feed below across the bar, news-ticker style \u2014 always scrolling, regardless "
    "of the Allow Any Text to Scroll setting. Only one feed for now.";
const char kVideoTitleToggleText[] = "Show the playing video's title instead of typed text";
const char kVideoTitleToggleHelp[] =
    "When you're playing a video out through Ostrela, the bar shows that video's name automatically. Rename a "
    "video in the sidebar to change what appears here. Falls back to your typed text whenever no video is "
    "playing.";
const char kAlwaysScrollText[] = "Allow Any Text to Scroll";
const char kAlwaysScrollHelp[] =
    "Normally short text that already fits the bar just sits still, and only overflowing text scrolls. Turn this "
    "on to make the text scroll continuously no matter how short it is, at the same speed set above.";
const char kFrozenText[] = "Freeze Scrolling Preview to Save CPU";
const char kFrozenHelp[] =
    "A continuously scrolling preview (here and in the main window) is the most CPU-hungry animation in the app. "
    "Turning this on freezes it to a plain message \u2014 whatever's actually sent to Zoom/Meet keeps scrolling "
    "normally either way.";
const char kMeetText[] = "Adjust Bottom Bar for Google Meet Calls";
const char kMeetHelp[] =
    "Google Meet can crop or zoom the incoming camera feed, which clips the bar when it sits flush against the very "
    "bottom edge. Turning this on lifts the bar up slightly to keep it fully visible in Meet. Leave it off for apps "
    "like Zoom, which don't need the extra gap.";
const char kMeetFootnote[] =
    "Google Meet sometimes crops or zooms your camera feed, which can cut off the bottom of the bar. Turn this on "
    "only when using Google Meet \u2014 apps like Zoom display the bar fine without it.";

QString u8(const char* s) { return QString::fromUtf8(s); }

QColor colorFromHex(const QString& hex, double alpha = 1.0) {
    const RGBColor c = parseHexColor(hex);
    QColor q = QColor::fromRgbF(float(c.r), float(c.g), float(c.b));
    q.setAlphaF(float(std::clamp(alpha, 0.0, 1.0)));
    return q;
}

double alignedX(LowerThirdTextAlignment alignment, double width, double areaWidth, double inset) {
    switch (alignment) {
    case LowerThirdTextAlignment::leading: return inset;
    case LowerThirdTextAlignment::center: return (areaWidth - width) * 0.5;
    case LowerThirdTextAlignment::trailing: return areaWidth - inset - width;
    }
    return inset;
}

QFont messageFont(double pixelSize) {
    QFont f = QApplication::font();
    f.setPixelSize(std::max(1, int(std::lround(pixelSize))));
    return f;
}

// The text of the preview laid out at its font size, through the camera bar's own text line (the
// same fonts and colour emoji): the whole text, and the pieces of one scrolling cycle with their
// places. A ticker is split at the headline separator, every piece but the last gets the
// separator back, and the gap before the next copy is the separator too.
struct PreviewText {
    struct Piece {
        QString text;
        BarTextLine line;
        double x = 0;
    };
    QString text;
    bool isTicker = false;
    double fontSize = 0;
    BarTextLine whole;
    std::vector<Piece> pieces;
    double cycle = 0;
};

std::vector<QString> cycleParts(const QString& text, bool isTicker) {
    const QString sep = QString::fromUtf16(bar::kTickerSeparator);
    QStringList parts;
    if (isTicker) {
        parts = text.split(sep);
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) parts[i] += sep;
    } else {
        parts << text;
    }
    parts << sep;
    std::vector<QString> out;
    for (const QString& p : parts)
        if (!p.isEmpty()) out.push_back(p);
    return out;
}

// Every redraw asks again, so the last text and size are kept.
const PreviewText& previewText(const QString& text, bool isTicker, double fontSize) {
    thread_local PreviewText cache;
    thread_local bool valid = false;
    if (valid && cache.text == text && cache.isTicker == isTicker && cache.fontSize == fontSize) return cache;
    PreviewText t;
    t.text = text;
    t.isTicker = isTicker;
    t.fontSize = fontSize;
    t.whole = BarTextLine(text, fontSize);
    double x = 0;
    for (const QString& part : cycleParts(text, isTicker)) {
        BarTextLine line(part, fontSize);
        const double advance = line.advance();
        t.pieces.push_back({part, std::move(line), x});
        x += advance;
    }
    t.cycle = x;
    cache = std::move(t);
    valid = true;
    return cache;
}

// The text of the bar as one picture with its shadow: a still text, or one ticker cycle. Scrolling
// only moves it, so it is drawn again only when the text or its look changes.
struct TextStrip {
    static constexpr double kPad = 4;  // room for the shadow's offset and blur
    QString key;
    QImage image;
};

const TextStrip& textStrip(const QString& text, bool isTicker, bool still, double fontSize, const QColor& color,
                           bool shadow, double height, double baseline, qreal dpr) {
    thread_local TextStrip cache;
    const QString key = QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8")
                            .arg(text)
                            .arg(isTicker)
                            .arg(still)
                            .arg(fontSize)
                            .arg(color.rgba())
                            .arg(shadow)
                            .arg(height)
                            .arg(dpr);
    if (cache.key == key && !cache.image.isNull()) return cache;

    const PreviewText& laid = previewText(text, isTicker, fontSize);
    const double width = still ? laid.whole.advance() : laid.cycle;
    const int w = std::max(1, int(std::ceil((width + 2 * TextStrip::kPad) * dpr)));
    const int h = std::max(1, int(std::ceil(height * dpr)));
    // Drawn at device size with lines laid out for it, not scaled: colour emoji are bitmaps.
    QImage glyphs(w, h, QImage::Format_ARGB32_Premultiplied);
    glyphs.fill(Qt::transparent);
    {
        QPainter gp(&glyphs);
        const double pad = TextStrip::kPad * dpr, base = baseline * dpr;
        if (still) {
            (dpr == 1.0 ? laid.whole : BarTextLine(text, fontSize * dpr)).draw(gp, QPointF(pad, base), color);
        } else {
            for (const PreviewText::Piece& p : laid.pieces)
                (dpr == 1.0 ? p.line : BarTextLine(p.text, fontSize * dpr)).draw(gp, QPointF(pad + p.x * dpr, base), color);
        }
    }
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    if (shadow) {
        // Drop shadow: the glyphs' coverage in black at 0.55, blur radius 1.5, 0.5 right and 1 down.
        cv::Mat alpha(h, w, CV_8U);
        for (int y = 0; y < h; ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(glyphs.constScanLine(y));
            uchar* a = alpha.ptr<uchar>(y);
            for (int x = 0; x < w; ++x) a[x] = uchar(qAlpha(row[x]));
        }
        cv::GaussianBlur(alpha, alpha, cv::Size(0, 0), 0.75 * dpr);
        QImage shade(w, h, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < h; ++y) {
            auto* row = reinterpret_cast<QRgb*>(shade.scanLine(y));
            const uchar* a = alpha.ptr<uchar>(y);
            for (int x = 0; x < w; ++x) row[x] = qRgba(0, 0, 0, a[x]);
        }
        p.save();
        p.setOpacity(0.55);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(QPointF(0.5 * dpr, 1.0 * dpr), shade);
        p.restore();
    }
    p.drawImage(0, 0, glyphs);
    p.end();
    image.setDevicePixelRatio(dpr);
    cache.key = key;
    cache.image = image;
    return cache;
}

}  // namespace

QString scrollSpeedLabel(double speed) {
    const double whole = std::isfinite(speed) ? std::trunc(speed) : 0.0;
    return QString::number(static_cast<long long>(whole)) + QStringLiteral(" pt/s");
}

QString lowerThirdPreviewText(const LowerThirdTextInputs& in) {
    if (in.videoTitleEnabled && !in.videoTitleText.isEmpty()) return in.videoTitleText;
    if (in.rssFeedEnabled) return in.rssFeedDisplayText;
    if (in.weatherEnabled) return in.weatherDisplayText;
    return in.lowerThirdText;
}

LowerThirdPreviewInputs LowerThirdPreviewInputs::fromSettings(const QString& weatherDisplayText,
                                                              const QString& rssDisplayText) {
    LowerThirdTextInputs text;
    text.videoTitleEnabled = settings::lowerThirdVideoTitleEnabled();
    text.videoTitleText = settings::lowerThirdVideoTitleText();
    text.rssFeedEnabled = settings::rssFeedEnabled();
    text.rssFeedDisplayText = rssDisplayText;
    text.nowPlayingEnabled = settings::nowPlayingEnabled();
    text.weatherEnabled = settings::weatherEnabled();
    text.weatherDisplayText = weatherDisplayText;
    text.lowerThirdText = settings::lowerThirdText();

    LowerThirdPreviewInputs in;
    in.text = lowerThirdPreviewText(text);
    in.isTicker = text.rssFeedEnabled && !(text.videoTitleEnabled && !text.videoTitleText.isEmpty());
    in.barColorHex = settings::lowerThirdBarColorHex();
    in.textColorHex = settings::lowerThirdTextColorHex();
    in.barOpacity = settings::lowerThirdBarOpacity();
    in.alignment = settings::lowerThirdTextAlignment();
    in.scrollSpeed = settings::lowerThirdScrollSpeed();
    in.textShadowEnabled = settings::lowerThirdTextShadowEnabled();
    in.placeholder = QString::fromLatin1(design::kPlaceholder);
    in.showBottomEdgeGradient = true;  // the camera's bar always has its bottom shade
    in.alwaysScroll = text.rssFeedEnabled || settings::lowerThirdAlwaysScroll();
    in.previewFrozen = settings::lowerThirdPreviewFrozen();
    return in;
}

QFont lowerThirdPreviewFont(double pixelSize) {
    QFont f = barFont();
    f.setPixelSize(std::max(1, int(std::lround(pixelSize))));
    return f;
}

LowerThirdPreviewLayout layoutLowerThirdPreview(const LowerThirdPreviewInputs& in, const QSizeF& size, double t) {
    LowerThirdPreviewLayout l;
    const double W = size.width(), H = size.height();
    l.topLineHeight = std::max(H * 0.035, 1.5);
    l.textHeight = std::max(0.0, H - l.topLineHeight);
    l.fontSize = l.textHeight * 0.46;
    l.inset = W * 0.01875;
    l.usableWidth = W - 2 * l.inset;
    l.messageFontSize = 0.7 * l.fontSize;
    l.gradientHeight = in.showBottomEdgeGradient ? std::max(l.textHeight * 0.12, 3.0) : 0.0;

    const QString text = in.text.trimmed();
    if (text.isEmpty()) {
        if (in.placeholder) {
            l.mode = LowerThirdPreviewLayout::Mode::placeholder;
            l.text = *in.placeholder;
        }
        return l;
    }
    const PreviewText& laid = previewText(text, in.isTicker, l.fontSize);
    l.text = text;
    l.textWidth = laid.whole.advance();
    const bool scrolls = in.alwaysScroll || l.textWidth > l.usableWidth;
    if (!scrolls) {
        l.mode = LowerThirdPreviewLayout::Mode::still;
        l.copyX = {alignedX(in.alignment, l.textWidth, W, l.inset)};
        return l;
    }
    if (in.previewFrozen) {
        l.mode = LowerThirdPreviewLayout::Mode::paused;
        l.text = QString::fromLatin1(design::kPausedMessage);
        return l;
    }
    l.mode = LowerThirdPreviewLayout::Mode::scrolling;
    l.cycle = laid.cycle;
    if (!(l.cycle > 0) || !(W > 0)) return l;
    // The same speed relative to the width as the bar in a 1280-pixel-wide frame.
    double travelled = t * (W / 1280.0) * in.scrollSpeed;
    if (!std::isfinite(travelled)) travelled = 0;
    double phase = std::fmod(travelled, l.cycle);
    if (phase < 0) phase += l.cycle;
    for (double x = W - phase; x > -2 * l.cycle; x -= l.cycle) l.copyX.push_back(x);
    return l;
}

void paintLowerThirdPreview(QPainter& painter, const QRectF& area, const LowerThirdPreviewInputs& in, double t) {
    const LowerThirdPreviewLayout l = layoutLowerThirdPreview(in, area.size(), t);
    const double W = area.width(), H = area.height();
    if (W <= 0 || H <= 0) return;
    painter.save();
    painter.translate(area.topLeft());
    painter.setClipRect(QRectF(0, 0, W, H));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    painter.fillRect(QRectF(0, 0, W, H), colorFromHex(in.barColorHex, in.barOpacity));
    if (l.gradientHeight > 0) {
        QLinearGradient shade(0, H, 0, H - l.gradientHeight);
        shade.setColorAt(0, QColor(0, 0, 0, int(std::lround(0.28 * 255))));
        shade.setColorAt(1, QColor(0, 0, 0, 0));
        painter.fillRect(QRectF(0, H - l.gradientHeight, W, l.gradientHeight), shade);
    }
    painter.fillRect(QRectF(0, 0, W, l.topLineHeight), Qt::white);

    const QColor textColor = colorFromHex(in.textColorHex);
    auto baselineFor = [&](const QFontMetricsF& fm) {
        return l.topLineHeight + (l.textHeight - (fm.ascent() + fm.descent())) * 0.5 + fm.ascent();
    };

    switch (l.mode) {
    case LowerThirdPreviewLayout::Mode::empty: break;
    case LowerThirdPreviewLayout::Mode::placeholder:
    case LowerThirdPreviewLayout::Mode::paused: {
        const QFont font = messageFont(l.messageFontSize);
        const QFontMetricsF fm(font);
        const QString shown = fm.elidedText(l.text, Qt::ElideRight, l.usableWidth);
        QColor c = textColor;
        c.setAlphaF(0.6f);
        painter.setFont(font);
        painter.setPen(c);
        painter.drawText(QPointF(alignedX(in.alignment, fm.horizontalAdvance(shown), W, l.inset), baselineFor(fm)),
                         shown);
        break;
    }
    case LowerThirdPreviewLayout::Mode::still:
    case LowerThirdPreviewLayout::Mode::scrolling: {
        const QFont font = lowerThirdPreviewFont(l.fontSize);
        const QFontMetricsF fm(font);
        const bool still = l.mode == LowerThirdPreviewLayout::Mode::still;
        const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
        const TextStrip& strip = textStrip(l.text, in.isTicker, still, l.fontSize, textColor,
                                           in.textShadowEnabled, H, baselineFor(fm), dpr);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        const double width = still ? l.textWidth : l.cycle;
        for (double x : l.copyX)
            if (x + width + TextStrip::kPad > 0 && x - TextStrip::kPad < W)
                painter.drawImage(QPointF(x - TextStrip::kPad, 0), strip.image);
        break;
    }
    }
    painter.restore();
}

// ---- LowerThirdBarPreviewView ----

LowerThirdBarPreviewView::LowerThirdBarPreviewView(QWidget* parent) : QWidget(parent) {
    timer_ = new QTimer(this);
    timer_->setInterval(kAnimationIntervalMs);
    connect(timer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    setMinimumHeight(design::kPreviewHeight);
    setMaximumHeight(design::kPreviewHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LowerThirdBarPreviewView::setInputs(const LowerThirdPreviewInputs& inputs) {
    inputs_ = inputs;
    updateTimer();
    update();
}

void LowerThirdBarPreviewView::setFixedTime(std::optional<double> t) {
    fixedTime_ = t;
    updateTimer();
    update();
}

bool LowerThirdBarPreviewView::isAnimating() const { return timer_->isActive(); }

void LowerThirdBarPreviewView::updateTimer() {
    const bool scrolling = isVisible() && !fixedTime_ &&
                           layoutLowerThirdPreview(inputs_, size(), 0).mode == LowerThirdPreviewLayout::Mode::scrolling;
    if (scrolling && !timer_->isActive()) timer_->start();
    if (!scrolling && timer_->isActive()) timer_->stop();
}

void LowerThirdBarPreviewView::resizeEvent(QResizeEvent*) { updateTimer(); }
void LowerThirdBarPreviewView::showEvent(QShowEvent*) { updateTimer(); }
void LowerThirdBarPreviewView::hideEvent(QHideEvent*) { updateTimer(); }

void LowerThirdBarPreviewView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // A dark stand-in for the camera picture, so the bar's transparency shows.
    p.fillRect(rect(), QColor(38, 40, 44));
    paintLowerThirdPreview(p, QRectF(rect()), inputs_, fixedTime_ ? *fixedTime_ : frameTimeNow());
}

// ---- LowerThirdDesignModel ----

LowerThirdDesignModel::LowerThirdDesignModel(WeatherService* weather, NowPlayingService* nowPlaying,
                                             RSSFeedService* rssFeed, LowerThirdModes* modes)
    : weather_(weather), nowPlaying_(nowPlaying), rssFeed_(rssFeed), modes_(modes) {}

bool LowerThirdDesignModel::modeEnabled(LowerThirdMode mode) const { return lowerthird::modeEnabled(mode); }

void LowerThirdDesignModel::setModeEnabled(LowerThirdMode mode, bool on) {
    if (modes_) modes_->setModeEnabled(mode, on);
    else lowerthird::setModeEnabled(mode, on);
}

void LowerThirdDesignModel::refreshWeatherNow() {
    if (weather_ && weather_->cachedZip()) weather_->refreshNow();
}

void LowerThirdDesignModel::refreshFeedNow() {
    if (rssFeed_ && rssFeed_->cachedURLString()) rssFeed_->refreshNow();
}

QString LowerThirdDesignModel::weatherDisplayText() const { return weather_ ? weather_->displayText() : QString(); }
QString LowerThirdDesignModel::rssDisplayText() const { return rssFeed_ ? rssFeed_->displayText() : QString(); }

LowerThirdPreviewInputs LowerThirdDesignModel::previewInputs() const {
    return LowerThirdPreviewInputs::fromSettings(weatherDisplayText(), rssDisplayText());
}

QString LowerThirdDesignModel::videoTitleCaption(const QString& videoTitleText) {
    if (videoTitleText.isEmpty())
        return QStringLiteral("No video playing \u2014 the bar shows your typed text until one starts.");
    return QStringLiteral("Now showing: ") + videoTitleText;
}

QString LowerThirdDesignModel::scrollingNote(bool alwaysScroll) {
    return alwaysScroll ? QStringLiteral("Text scrolls continuously regardless of length, at the speed set above.")
                        : QStringLiteral("Only kicks in when the text is too long to fit the bar \u2014 short text "
                                         "stays put.");
}

QString LowerThirdDesignModel::tickerNote(bool alwaysScroll) {
    return alwaysScroll ? QStringLiteral("The RSS ticker always scrolls, regardless of this setting.")
                        : QStringLiteral("The RSS ticker always scrolls regardless of this setting.");
}

// ---- LowerThirdDesignWindow ----

LowerThirdDesignWindow::LowerThirdDesignWindow(WeatherService* weather, NowPlayingService* nowPlaying,
                                               RSSFeedService* rssFeed, LowerThirdModes* modes, QWidget* parent)
    : QWidget(parent), model_(weather, nowPlaying, rssFeed, modes) {
    setObjectName(QString::fromLatin1(design::kWindowIdentifier));
    setWindowTitle(QString::fromLatin1(design::kWindowTitle));
    setFixedSize(design::kWindowWidth, design::kWindowHeight);
    buildUi();
    reloadFromSettings();

    if (weather)
        connect(weather, &WeatherService::displayTextChanged, this, [this] {
            updateCaptions();
            updatePreview();
        });
    if (rssFeed)
        connect(rssFeed, &RSSFeedService::displayTextChanged, this, [this] {
            updateCaptions();
            updatePreview();
        });
    if (modes) {
        for (auto signal : {&LowerThirdModes::weatherEnabledChanged, &LowerThirdModes::nowPlayingEnabledChanged,
                            &LowerThirdModes::rssFeedEnabledChanged,
                            &LowerThirdModes::lowerThirdVideoTitleEnabledChanged,
                            &LowerThirdModes::lowerThirdTextChanged})
            connect(modes, signal, this, &LowerThirdDesignWindow::reloadFromSettings);
    }
    // Other windows (and the library, for the video title) write the same settings.
    settingsWatch_ = new QTimer(this);
    settingsWatch_->setInterval(500);
    connect(settingsWatch_, &QTimer::timeout, this, &LowerThirdDesignWindow::checkSettingsRevision);
    settingsWatch_->start();
}

QCheckBox* LowerThirdDesignWindow::modeToggle(LowerThirdMode mode) const {
    switch (mode) {
    case LowerThirdMode::weather: return weatherToggle_;
    case LowerThirdMode::nowPlaying: return nowPlayingToggle_;
    case LowerThirdMode::rssFeed: return rssToggle_;
    case LowerThirdMode::videoTitle: return videoTitleToggle_;
    }
    return nullptr;
}

void LowerThirdDesignWindow::buildUi() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);
    auto* content = new QWidget;
    scroll->setWidget(content);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(12);

    auto caption = [](const QString& text) {
        auto* label = new QLabel(text);
        label->setWordWrap(true);
        QFont f = label->font();
        f.setPointSizeF(f.pointSizeF() * 0.85);
        label->setFont(f);
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, p.color(QPalette::PlaceholderText));
        label->setPalette(p);
        return label;
    };
    auto toggle = [](const char* text, const char* help = nullptr) {
        auto* box = new QCheckBox(u8(text));
        if (help) box->setToolTip(u8(help));
        return box;
    };

    // 1. Live Preview, with the bar's look.
    auto* previewBox = new QGroupBox(QStringLiteral("Live Preview"));
    auto* previewLayout = new QVBoxLayout(previewBox);
    preview_ = new LowerThirdBarPreviewView;
    previewLayout->addWidget(preview_, 0, Qt::AlignBottom);
    auto* styleForm = new QFormLayout;
    barColorButton_ = new QPushButton;
    barColorButton_->setToolTip(QStringLiteral("Choose the bar's colour"));
    textColorButton_ = new QPushButton;
    textColorButton_->setToolTip(QStringLiteral("Choose the text colour"));
    styleForm->addRow(QStringLiteral("Bar Color"), barColorButton_);
    styleForm->addRow(QStringLiteral("Text Color"), textColorButton_);
    auto* opacityRow = new QHBoxLayout;
    opacitySlider_ = new QSlider(Qt::Horizontal);
    opacitySlider_->setRange(0, 100);
    opacitySlider_->setToolTip(QStringLiteral("How see-through the bar's background is"));
    opacityLabel_ = new QLabel;
    opacityLabel_->setFixedWidth(44);
    opacityRow->addWidget(opacitySlider_, 1);
    opacityRow->addWidget(opacityLabel_);
    styleForm->addRow(QStringLiteral("Opacity"), opacityRow);
    alignmentCombo_ = new QComboBox;
    alignmentCombo_->addItem(QStringLiteral("Leading"), QStringLiteral("leading"));
    alignmentCombo_->addItem(QStringLiteral("Center"), QStringLiteral("center"));
    alignmentCombo_->addItem(QStringLiteral("Trailing"), QStringLiteral("trailing"));
    styleForm->addRow(QStringLiteral("Alignment"), alignmentCombo_);
    shadowToggle_ = toggle("Text Shadow", "A soft drop shadow under the text, for light bars and busy pictures.");
    styleForm->addRow(shadowToggle_);
    previewLayout->addLayout(styleForm);
    column->addWidget(previewBox);

    // 2. Content.
    auto* contentBox = new QGroupBox(QStringLiteral("Content"));
    auto* contentLayout = new QVBoxLayout(contentBox);
    textField_ = new QLineEdit;
    textField_->setPlaceholderText(QStringLiteral("Text shown in the bar"));
    contentLayout->addWidget(textField_);
    nowPlayingToggle_ = toggle(kNowPlayingToggleText);
    contentLayout->addWidget(nowPlayingToggle_);
    weatherToggle_ = toggle(kWeatherToggleText);
    contentLayout->addWidget(weatherToggle_);
    auto* zipRow = new QHBoxLayout;
    zipRow->addWidget(new QLabel(QStringLiteral("Zip Code")));
    zipField_ = new QLineEdit;
    zipRow->addWidget(zipField_, 1);
    auto* weatherRefresh = new QPushButton(QStringLiteral("Refresh Now"));
    weatherRefresh->setObjectName(QStringLiteral("weatherRefreshNow"));
    zipRow->addWidget(weatherRefresh);
    contentLayout->addLayout(zipRow);
    weatherCaption_ = caption(QString());
    contentLayout->addWidget(weatherCaption_);
    rssToggle_ = toggle(kRssToggleText, kRssToggleHelp);
    contentLayout->addWidget(rssToggle_);
    auto* feedRow = new QHBoxLayout;
    feedField_ = new QLineEdit;
    feedField_->setPlaceholderText(QStringLiteral("Feed URL (RSS or Atom)"));
    feedField_->setToolTip(QStringLiteral("Feed URL (RSS or Atom)"));
    feedRow->addWidget(feedField_, 1);
    auto* feedRefresh = new QPushButton(QStringLiteral("Refresh Now"));
    feedRefresh->setObjectName(QStringLiteral("feedRefreshNow"));
    feedRow->addWidget(feedRefresh);
    contentLayout->addLayout(feedRow);
    rssCaption_ = caption(QString());
    rssCaption_->setWordWrap(false);  // one line, truncated
    rssCaption_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    contentLayout->addWidget(rssCaption_);
    videoTitleToggle_ = toggle(kVideoTitleToggleText, kVideoTitleToggleHelp);
    contentLayout->addWidget(videoTitleToggle_);
    videoCaption_ = caption(QString());
    contentLayout->addWidget(videoCaption_);
    column->addWidget(contentBox);

    // 3. Scrolling.
    auto* scrollBox = new QGroupBox(QStringLiteral("Scrolling"));
    auto* scrollLayout = new QVBoxLayout(scrollBox);
    auto* speedRow = new QHBoxLayout;
    speedRow->addWidget(new QLabel(QStringLiteral("Speed")));
    speedSlider_ = new QSlider(Qt::Horizontal);
    speedSlider_->setRange(int(design::kMinSpeed) * kSpeedSliderScale, int(design::kMaxSpeed) * kSpeedSliderScale);
    speedRow->addWidget(speedSlider_, 1);
    speedLabel_ = new QLabel;
    speedLabel_->setFixedWidth(design::kSpeedLabelWidth);
    speedLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // DejaVu Sans digits are all the same width, so the label does not jitter while dragging.
    speedRow->addWidget(speedLabel_);
    scrollLayout->addLayout(speedRow);
    alwaysScrollToggle_ = toggle(kAlwaysScrollText, kAlwaysScrollHelp);
    scrollLayout->addWidget(alwaysScrollToggle_);
    frozenToggle_ = toggle(kFrozenText, kFrozenHelp);
    scrollLayout->addWidget(frozenToggle_);
    scrollNote_ = caption(QString());
    scrollLayout->addWidget(scrollNote_);
    tickerNote_ = caption(QString());
    scrollLayout->addWidget(tickerNote_);
    column->addWidget(scrollBox);

    // 4. Video Call Compatibility.
    auto* meetBox = new QGroupBox(QStringLiteral("Video Call Compatibility"));
    auto* meetLayout = new QVBoxLayout(meetBox);
    meetToggle_ = toggle(kMeetText, kMeetHelp);
    meetLayout->addWidget(meetToggle_);
    meetLayout->addWidget(caption(u8(kMeetFootnote)));
    column->addWidget(meetBox);
    column->addStretch(1);

    // Bindings: every control writes its setting at once.
    auto guarded = [this](auto fn) {
        return [this, fn](auto... args) {
            if (loading_) return;
            fn(args...);
            updateCaptions();
            updatePreview();
        };
    };
    connect(barColorButton_, &QPushButton::clicked, this, [this] { pickColor(true); });
    connect(textColorButton_, &QPushButton::clicked, this, [this] { pickColor(false); });
    connect(opacitySlider_, &QSlider::valueChanged, this, guarded([this](int v) {
                settings::setLowerThirdBarOpacity(v / 100.0);
                opacityLabel_->setText(QString::number(v) + u'%');
            }));
    connect(alignmentCombo_, &QComboBox::currentIndexChanged, this, guarded([this](int) {
                const auto a = textAlignmentFromRaw(alignmentCombo_->currentData().toString().toStdString());
                if (a) settings::setLowerThirdTextAlignment(*a);
            }));
    connect(shadowToggle_, &QCheckBox::toggled, this, guarded([](bool on) { settings::setLowerThirdTextShadowEnabled(on); }));
    connect(textField_, &QLineEdit::textEdited, this, guarded([this](const QString& text) {
                if (model_.modes()) model_.modes()->setLowerThirdText(text);
                else settings::setLowerThirdText(text);
            }));
    connect(zipField_, &QLineEdit::textEdited, this, guarded([this](const QString& text) {
                if (model_.modes()) model_.modes()->setWeatherZipCode(text);
                else settings::setWeatherZipCode(text);
            }));
    connect(feedField_, &QLineEdit::textEdited, this, guarded([this](const QString& text) {
                if (model_.modes()) model_.modes()->setRssFeedURL(text);
                else settings::setRssFeedURL(text);
            }));
    for (LowerThirdMode mode : {LowerThirdMode::weather, LowerThirdMode::nowPlaying, LowerThirdMode::rssFeed,
                                LowerThirdMode::videoTitle}) {
        connect(modeToggle(mode), &QCheckBox::toggled, this, [this, mode](bool on) {
            if (loading_) return;
            model_.setModeEnabled(mode, on);
            reloadFromSettings();  // the other switches may have turned off
        });
    }
    connect(weatherRefresh, &QPushButton::clicked, this, [this] { model_.refreshWeatherNow(); });
    connect(feedRefresh, &QPushButton::clicked, this, [this] { model_.refreshFeedNow(); });
    connect(speedSlider_, &QSlider::valueChanged, this, guarded([this](int v) {
                const double speed = double(v) / kSpeedSliderScale;
                settings::setLowerThirdScrollSpeed(speed);
                speedLabel_->setText(scrollSpeedLabel(speed));
            }));
    connect(alwaysScrollToggle_, &QCheckBox::toggled, this, guarded([](bool on) { settings::setLowerThirdAlwaysScroll(on); }));
    connect(frozenToggle_, &QCheckBox::toggled, this, guarded([](bool on) { settings::setLowerThirdPreviewFrozen(on); }));
    connect(meetToggle_, &QCheckBox::toggled, this, guarded([](bool on) { settings::setLowerThirdGoogleMeetSafeArea(on); }));
}

void LowerThirdDesignWindow::reloadFromSettings() {
    loading_ = true;
    const double opacity = settings::lowerThirdBarOpacity();
    const int opacityPercent = std::isfinite(opacity) ? int(std::clamp(opacity, 0.0, 1.0) * 100.0) : 100;
    opacitySlider_->setValue(opacityPercent);
    opacityLabel_->setText(QString::number(opacityPercent) + u'%');
    alignmentCombo_->setCurrentIndex(
        alignmentCombo_->findData(QString::fromLatin1(rawValue(settings::lowerThirdTextAlignment()))));
    shadowToggle_->setChecked(settings::lowerThirdTextShadowEnabled());
    auto setText = [](QLineEdit* field, const QString& text) {
        if (field->text() != text) field->setText(text);
    };
    setText(textField_, settings::lowerThirdText());
    setText(zipField_, settings::weatherZipCode());
    setText(feedField_, settings::rssFeedURL());
    for (LowerThirdMode mode : {LowerThirdMode::weather, LowerThirdMode::nowPlaying, LowerThirdMode::rssFeed,
                                LowerThirdMode::videoTitle})
        modeToggle(mode)->setChecked(model_.modeEnabled(mode));
    const double speed = settings::lowerThirdScrollSpeed();
    const double sliderSpeed = std::isfinite(speed) ? std::clamp(speed, design::kMinSpeed, design::kMaxSpeed) : 90.0;
    speedSlider_->setValue(int(std::lround(sliderSpeed * kSpeedSliderScale)));
    speedLabel_->setText(scrollSpeedLabel(speed));
    alwaysScrollToggle_->setChecked(settings::lowerThirdAlwaysScroll());
    frozenToggle_->setChecked(settings::lowerThirdPreviewFrozen());
    meetToggle_->setChecked(settings::lowerThirdGoogleMeetSafeArea());
    loading_ = false;
    if (SettingsStore* suite = SettingsStore::suite()) seenRevision_ = suite->revision();
    updateColorButtons();
    updateCaptions();
    updatePreview();
}

void LowerThirdDesignWindow::checkSettingsRevision() {
    SettingsStore* suite = SettingsStore::suite();
    if (!suite) return;
    suite->synchronize();
    if (suite->revision() != seenRevision_) reloadFromSettings();
}

void LowerThirdDesignWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reloadFromSettings();
}

void LowerThirdDesignWindow::updateCaptions() {
    const QString weather = model_.weatherDisplayText();
    weatherCaption_->setText(weather);
    weatherCaption_->setVisible(!weather.isEmpty());
    const QString feed = model_.rssDisplayText();
    rssCaption_->setText(rssCaption_->fontMetrics().elidedText(feed, Qt::ElideRight, std::max(40, rssCaption_->width())));
    rssCaption_->setToolTip(feed);
    rssCaption_->setVisible(!feed.isEmpty());
    videoCaption_->setText(LowerThirdDesignModel::videoTitleCaption(settings::lowerThirdVideoTitleText()));
    scrollNote_->setText(LowerThirdDesignModel::scrollingNote(settings::lowerThirdAlwaysScroll()));
    tickerNote_->setText(LowerThirdDesignModel::tickerNote(settings::lowerThirdAlwaysScroll()));
}

void LowerThirdDesignWindow::updatePreview() { preview_->setInputs(model_.previewInputs()); }

void LowerThirdDesignWindow::updateColorButtons() {
    auto paint = [](QPushButton* button, const QString& hex) {
        QPixmap swatch(28, 14);
        swatch.fill(colorFromHex(hex));
        QPainter p(&swatch);
        p.setPen(QColor(0, 0, 0, 90));
        p.drawRect(swatch.rect().adjusted(0, 0, -1, -1));
        button->setIcon(QIcon(swatch));
        button->setIconSize(swatch.size());
        button->setText(QStringLiteral("#") + hexColorString(parseHexColor(hex).r, parseHexColor(hex).g,
                                                             parseHexColor(hex).b));
    };
    paint(barColorButton_, settings::lowerThirdBarColorHex());
    paint(textColorButton_, settings::lowerThirdTextColorHex());
}

void LowerThirdDesignWindow::setBarColor(const QColor& color) {
    if (!color.isValid()) return;
    settings::setLowerThirdBarColorHex(hexColorString(color.redF(), color.greenF(), color.blueF()));
    updateColorButtons();
    updatePreview();
}

void LowerThirdDesignWindow::setTextColor(const QColor& color) {
    if (!color.isValid()) return;
    settings::setLowerThirdTextColorHex(hexColorString(color.redF(), color.greenF(), color.blueF()));
    updateColorButtons();
    updatePreview();
}

void LowerThirdDesignWindow::pickColor(bool bar) {
    const QColor current = colorFromHex(bar ? settings::lowerThirdBarColorHex() : settings::lowerThirdTextColorHex());
    auto* dialog = new QColorDialog(current, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(bar ? QStringLiteral("Bar Color") : QStringLiteral("Text Color"));
    // Live: the preview and the camera follow while the user browses colours.
    connect(dialog, &QColorDialog::currentColorChanged, this,
            [this, bar](const QColor& c) { bar ? setBarColor(c) : setTextColor(c); });
    connect(dialog, &QColorDialog::rejected, this, [this, bar, current] {
        bar ? setBarColor(current) : setTextColor(current);
    });
    dialog->open();
}

}  // namespace ostrela
