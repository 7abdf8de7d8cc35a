#include "pipeline/LowerThirdBar.h"

#include "effects/Effects.h"
#include "pipeline/PaintedLayer.h"
#include "pipeline/engine/Glyphs.h"
#include "pipeline/engine/Renderer.h"

#include <QGlyphRun>
#include <QLinearGradient>
#include <QPainter>
#include <QRawFont>
#include <QTextBoundaryFinder>
#include <QTextCharFormat>
#include <QTextLayout>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <vector>

namespace ostrela {

using engine::Image;

namespace {

constexpr int kShadowPad = 8;        // room for the shadow's offset and blur around the glyphs
constexpr int kStripChunk = 2048;    // long tickers are cached in pieces of this width

// Bitmaps here are 72 dpi (engine::pointBitmap): a font of 38.18 points is 38.18 pixels on them.
QPaintDevice* layoutDevice() {
    static QImage device = engine::pointBitmap(1, 1);
    return &device;
}

QColor toQColor(const QString& hex, double alpha) {
    const RGBColor c = parseHexColor(hex);
    return QColor::fromRgbF(float(c.r), float(c.g), float(c.b), float(alpha));
}

// Emoji drawn from the colour emoji font even where an earlier family has a plain glyph for the
// same code point (the sun, the snowflake): pictographs from U+1F000 on, the symbols below that
// which are emoji by default, and any symbol asking for emoji presentation with U+FE0F.
bool defaultEmoji(char32_t c) {
    static constexpr std::pair<char32_t, char32_t> ranges[] = {
        {0x231A, 0x231B}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0}, {0x23F3, 0x23F3}, {0x25FD, 0x25FE}, {0x2614, 0x2615},
        {0x2648, 0x2653}, {0x267F, 0x267F}, {0x2693, 0x2693}, {0x26A1, 0x26A1}, {0x26AA, 0x26AB}, {0x26BD, 0x26BE},
        {0x26C4, 0x26C5}, {0x26CE, 0x26CE}, {0x26D4, 0x26D4}, {0x26EA, 0x26EA}, {0x26F2, 0x26F3}, {0x26F5, 0x26F5},
        {0x26FA, 0x26FA}, {0x26FD, 0x26FD}, {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728}, {0x274C, 0x274C},
        {0x274E, 0x274E}, {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797}, {0x27B0, 0x27B0}, {0x27BF, 0x27BF},
        {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55}};
    if (c >= 0x1F000 && c <= 0x1FAFF) return true;
    for (auto [a, b] : ranges)
        if (c >= a && c <= b) return true;
    return false;
}

QList<QTextLayout::FormatRange> emojiRuns(const QString& text) {
    QList<QTextLayout::FormatRange> runs;
    const QList<uint> cps = text.toUcs4();
    // UTF-16 offset of every code point.
    std::vector<int> at(size_t(cps.size()) + 1, 0);
    for (qsizetype i = 0; i < cps.size(); ++i) at[size_t(i) + 1] = at[size_t(i)] + (cps[i] > 0xFFFF ? 2 : 1);
    auto joins = [](char32_t c) {
        return c == 0xFE0F || c == 0x200D || c == 0x20E3 || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F);
    };
    QTextCharFormat emoji;
    emoji.setFontFamilies(QStringList{QStringLiteral("Noto Color Emoji")});
    qsizetype i = 0;
    while (i < cps.size()) {
        const char32_t c = cps[i];
        const bool selected = i + 1 < cps.size() && cps[i + 1] == 0xFE0F;
        const bool keycap = (c == '#' || c == '*' || (c >= '0' && c <= '9')) &&
                            ((i + 1 < cps.size() && cps[i + 1] == 0x20E3) ||
                             (i + 2 < cps.size() && cps[i + 1] == 0xFE0F && cps[i + 2] == 0x20E3));
        if (!(defaultEmoji(c) || (selected && c >= 0x2000) || keycap)) {
            ++i;
            continue;
        }
        qsizetype j = i + 1;
        // Selectors, modifiers, keycaps and joined sequences stay with their emoji.
        while (j < cps.size() && (joins(cps[j]) || (cps[j - 1] == 0x200D && j < cps.size()))) ++j;
        runs.append({at[size_t(i)], at[size_t(j)] - at[size_t(i)], emoji});
        i = j;
    }
    return runs;
}

struct Measured {
    BarTextLine text, loop;
    BarTextMetrics m;
};

Measured measure(const QString& given) {
    Measured r;
    const QString text = cutBarText(given, bar::kMaxTextLength);
    r.text = BarTextLine(text, bar::kFontPixels);
    r.loop = BarTextLine(text + QString::fromUtf16(bar::kTickerSeparator), bar::kFontPixels);
    r.m.x0 = r.text.ink().left();
    r.m.width = r.text.ink().width();
    r.m.height = r.text.ink().height();
    r.m.y0 = r.text.ascent() - r.text.ink().bottom();  // y up from the baseline
    r.m.loopX0 = r.loop.ink().left();
    r.m.cycle = r.loop.advance();
    return r;
}

// Baseline, as a row position from the bitmap's top: the glyph box centred in the text band.
double baselineFromTop(const BarTextMetrics& m, int barLift, int h) {
    const double yUp = barLift + (bar::kTextBandHeight - m.height) * 0.5 - m.y0;
    return h - yUp;
}

// The text drawn with its pen at (penX, baseline) into a layer covering columns [left, left + w)
// of the bar, with the shadow under it when asked for. Transparent elsewhere.
QImage textLayer(const BarTextLine& line, double penX, double baseline, int left, int w, int h, const QColor& color,
                 bool shadow) {
    const int pad = shadow ? kShadowPad : 0;
    QImage glyphs = engine::pointBitmap(w + 2 * pad, h);
    if (glyphs.isNull()) return {};
    {
        QPainter p(&glyphs);
        line.draw(p, QPointF(penX - (left - pad), baseline), color);
    }
    if (!shadow) return glyphs;

    // Shadow: the glyphs' coverage blurred, offset right and down, black at 0.55 under them.
    cv::Mat alpha(glyphs.height(), glyphs.width(), CV_8U);
    for (int y = 0; y < glyphs.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(glyphs.constScanLine(y));
        uchar* a = alpha.ptr<uchar>(y);
        for (int x = 0; x < glyphs.width(); ++x) a[x] = uchar(qAlpha(row[x]));
    }
    cv::Mat blurred;
    // The blur of a drawn shadow is about two standard deviations.
    cv::GaussianBlur(alpha, blurred, cv::Size(0, 0), bar::kShadowBlur * 0.5, bar::kShadowBlur * 0.5, cv::BORDER_CONSTANT);
    const int dx = int(bar::kShadowDx), dy = int(-bar::kShadowDy);  // whole pixels; down is +rows
    QImage out = engine::pointBitmap(w, h);
    if (out.isNull()) return {};
    for (int y = 0; y < h; ++y) {
        const auto* g = reinterpret_cast<const QRgb*>(glyphs.constScanLine(y)) + pad;
        auto* o = reinterpret_cast<QRgb*>(out.scanLine(y));
        const int sy = y - dy;
        const uchar* srow = (sy >= 0 && sy < blurred.rows) ? blurred.ptr<uchar>(sy) : nullptr;
        for (int x = 0; x < w; ++x) {
            const int sx = x + pad - dx;
            const double s = (srow && sx >= 0 && sx < blurred.cols) ? srow[sx] * (bar::kShadowAlpha / 255.0) : 0.0;
            const QRgb t = g[x];
            const double ta = qAlpha(t) / 255.0;
            const int a = int(std::lround((ta + (1.0 - ta) * s) * 255.0));
            o[x] = qRgba(qRed(t), qGreen(t), qBlue(t), std::clamp(a, 0, 255));
        }
    }
    return out;
}

double clampedOpacity(double o) {
    if (std::isnan(o)) return 1.0;
    return std::clamp(o, 0.0, 1.0);
}

}  // namespace

LowerThirdBarStyle LowerThirdBarStyle::fromSettings() {
    LowerThirdBarStyle s;
    s.barColorHex = settings::lowerThirdBarColorHex();
    s.textColorHex = settings::lowerThirdTextColorHex();
    s.opacity = settings::lowerThirdBarOpacity();
    s.alignment = settings::lowerThirdTextAlignment();
    s.scrollSpeed = settings::lowerThirdScrollSpeed();
    s.textShadow = settings::lowerThirdTextShadowEnabled();
    s.alwaysScroll = settings::rssFeedEnabled() ? true : settings::lowerThirdAlwaysScroll();
    s.barLift = settings::lowerThirdGoogleMeetSafeArea() ? bar::kGoogleMeetLift : 0;
    return s;
}


QFont barFont() {
    QFont f;
    f.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans"),
                   QStringLiteral("Noto Sans Arabic"), QStringLiteral("Noto Sans Hebrew"),
                   QStringLiteral("Noto Color Emoji")});
    f.setBold(true);
    f.setPointSizeF(bar::kFontPixels);  // on a 72-dpi bitmap
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setKerning(true);
    return f;
}

BarTextMetrics measureBarText(const QString& text) { return measure(text).m; }

QString barLineText(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        const QChar::Category cat = c.category();
        if (cat == QChar::Other_Control || cat == QChar::Separator_Line || cat == QChar::Separator_Paragraph)
            c = u' ';
    }
    return out;
}

QString cutBarText(const QString& text, int maxCharacters) {
    if (maxCharacters < 1) return {};
    // A cluster is at least one code unit.
    if (text.size() <= maxCharacters) return text;
    const qsizetype budget = qsizetype(maxCharacters) * bar::kMaxCodeUnitsPerCharacter;
    const bool overBudget = text.size() > budget;
    // A boundary depends only on what precedes it and the character at it, so the boundaries
    // found in the bounded prefix are the text's own, except at the prefix's end.
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, QStringView(text).first(overBudget ? budget : text.size()));
    qsizetype keep = 0;  // end of the clusters kept before the ellipsis
    int clusters = 0;
    bool more = overBudget;
    for (qsizetype b = finder.toNextBoundary(); b > 0; b = finder.toNextBoundary()) {
        if (overBudget && b >= budget) break;  // the prefix's end, or no room left for the ellipsis
        ++clusters;
        if (clusters < maxCharacters) keep = b;
        if (clusters > maxCharacters) {
            more = true;
            break;
        }
    }
    if (!more) return text;
    if (clusters == 0 && maxCharacters > 1) {
        // One cluster longer than the whole bound: cut it between code points.
        keep = budget - 1;
        if (text.at(keep - 1).isHighSurrogate()) --keep;
    }
    return text.first(keep) + QChar(0x2026);
}

BarTextLine::BarTextLine(const QString& given, double pixelSize) {
    // Room for the ticker's loop (the longest text and the separator); only a text that never
    // came through the bar's own cut is shortened here.
    constexpr int kMaxLaidOut = bar::kMaxTextLength + int(std::size(bar::kTickerSeparator)) - 1;
    const QString text = barLineText(cutBarText(given, kMaxLaidOut));
    QFont font = barFont();
    font.setPointSizeF(pixelSize > 0 ? pixelSize : 1.0);  // points are pixels on the 72-dpi device
    auto layout = std::make_shared<QTextLayout>(text, font, layoutDevice());
    QTextOption opt;
    opt.setWrapMode(QTextOption::NoWrap);
    opt.setAlignment(Qt::AlignLeft | Qt::AlignAbsolute);  // right-to-left text also starts at 0
    opt.setTextDirection(Qt::LayoutDirectionAuto);
    layout->setTextOption(opt);
    layout->setCacheEnabled(true);
    layout->setFormats(emojiRuns(text));
    layout->beginLayout();
    QTextLine line = layout->createLine();
    if (line.isValid()) {
        line.setLineWidth(1e6);
        line.setPosition(QPointF(0, 0));
    }
    layout->endLayout();
    if (!line.isValid()) return;
    ascent_ = line.ascent();
    descent_ = line.descent();
    advance_ = line.naturalTextWidth();
    QRectF ink;
    for (const QGlyphRun& run : layout->glyphRuns()) {
        const QRawFont raw = run.rawFont();
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> pos = run.positions();
        for (qsizetype i = 0; i < glyphs.size() && i < pos.size(); ++i) {
            QRectF r = raw.boundingRect(glyphs[i]);
            if (!(r.width() > 0) && !(r.height() > 0)) continue;  // spaces have no outline
            r.translate(pos[i]);
            ink = ink.isNull() ? r : ink.united(r);
        }
    }
    ink_ = ink;
    text_ = text;
    layout_ = std::move(layout);
}

double BarTextLine::xAt(int utf16Index) const {
    if (!layout_ || layout_->lineCount() == 0) return 0;
    return layout_->lineAt(0).cursorToX(utf16Index);
}

void BarTextLine::draw(QPainter& painter, const QPointF& pen, const QColor& color) const {
    if (!layout_) return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(color);
    layout_->draw(&painter, QPointF(pen.x(), pen.y() - ascent_));
    painter.restore();
}

struct LowerThirdBarRenderer::State {
    // Background: bar colour at opacity, bottom shade, top line.
    std::optional<std::tuple<QString, double, int>> bgKey;
    QImage background;
    Image backgroundImage;
    int backgroundDraws = 0;

    // The text as given and as laid out: cut, breaks made spaces, trimmed.
    std::optional<QString> givenText;
    QString lineText;

    // Text laid out once per text.
    std::optional<QString> measuredText;
    Measured measured;
    int textLayouts = 0;

    // Text that stands still, drawn into a copy of the background.
    struct StillKey {
        LowerThirdBarStyle style;
        QString text;
        bool operator==(const StillKey&) const = default;
    };
    std::optional<StillKey> stillKey;
    Image stillImage;

    // The ticker strip: one repetition of text + separator (with its shadow), in pieces.
    struct StripKey {
        QString text, color;
        bool shadow;
        int barLift;
        bool operator==(const StripKey&) const = default;
    };
    std::optional<StripKey> stripKey;
    // Pieces are drawn when first seen and kept; a very long text keeps only a bounded number.
    struct Piece { double left; double width; Image image; int lastUse = -1; };
    std::vector<Piece> pieces;
    double stripBaseline = 0;
    int useCounter = 0;

    std::unique_ptr<engine::Renderer> renderer;  // for image(), made on first use

    bool ensureBackground(const LowerThirdBarStyle& st) {
        const auto key = std::make_tuple(st.barColorHex, st.opacity, st.height());
        if (bgKey == key && !background.isNull()) return true;
        bgKey.reset();
        const int h = st.height();
        background = engine::pointBitmap(bar::kWidth, h);
        if (background.isNull()) return false;
        ++backgroundDraws;
        QPainter p(&background);
        p.setRenderHint(QPainter::Antialiasing);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(QRectF(0, 0, bar::kWidth, h), toQColor(st.barColorHex, clampedOpacity(st.opacity)));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        QLinearGradient shade(QPointF(0, h), QPointF(0, h - bar::kShadeHeight));
        shade.setColorAt(0, QColor::fromRgbF(0, 0, 0, float(bar::kShadeAlpha)));
        shade.setColorAt(1, QColor::fromRgbF(0, 0, 0, 0));
        p.fillRect(QRectF(0, h - bar::kShadeHeight, bar::kWidth, bar::kShadeHeight), shade);
        p.fillRect(QRectF(0, 0, bar::kWidth, bar::kTopLineHeight), Qt::white);
        p.end();
        backgroundImage = paintedLayer(background);
        bgKey = key;
        return true;
    }

    void ensureMeasured(const QString& text) {
        if (measuredText == text) return;
        measured = measure(text);
        measuredText = text;
        ++textLayouts;
    }

    Image still(const LowerThirdBarStyle& st, const QString& text) {
        StillKey key{st, text};
        key.style.scrollSpeed = 0;  // does not change a still picture
        if (stillKey == key) return stillImage;
        const BarTextMetrics& m = measured.m;
        const int h = st.height();
        double x = (bar::kWidth - m.width) * 0.5;
        if (st.alignment == LowerThirdTextAlignment::leading) x = bar::kSideMargin;
        if (st.alignment == LowerThirdTextAlignment::trailing) x = bar::kWidth - bar::kSideMargin - m.width;
        QImage layer = textLayer(measured.text, x - m.x0, baselineFromTop(m, st.barLift, h), 0, bar::kWidth, h,
                                 toQColor(st.textColorHex, 1.0), st.textShadow);
        QImage out = background.copy();
        if (!layer.isNull() && !out.isNull()) {
            QPainter p(&out);
            p.drawImage(0, 0, layer);
        }
        stillImage = paintedLayer(out.isNull() ? background : out);
        stillKey = key;
        return stillImage;
    }

    void ensureStrip(const LowerThirdBarStyle& st, const QString& text) {
        StripKey key{text, st.textColorHex, st.textShadow, st.barLift};
        if (stripKey == key) return;
        pieces.clear();
        const QRectF ink = measured.loop.ink();
        const int pad = st.textShadow ? kShadowPad : 1;
        const int from = int(std::floor(std::min(ink.left(), 0.0))) - pad;
        const int to = int(std::ceil(std::max(ink.right(), 0.0))) + pad;
        stripBaseline = baselineFromTop(measured.m, st.barLift, st.height());
        for (int left = from; left < to; left += kStripChunk)
            pieces.push_back({double(left), double(std::min(kStripChunk, to - left)), Image()});
        stripKey = key;
    }

    const Image& piece(Piece& p, const LowerThirdBarStyle& st) {
        if (p.image.isNull()) {
            QImage img = textLayer(measured.loop, 0.0, stripBaseline, int(p.left), int(p.width), st.height(),
                                   toQColor(st.textColorHex, 1.0), st.textShadow);
            p.image = paintedLayer(img);
        }
        p.lastUse = useCounter;
        return p.image;
    }

    void dropUnusedPieces() {
        constexpr int kKeep = 24;  // a ticker of about 48,000 pixels stays whole
        int made = 0;
        for (const Piece& p : pieces) made += p.image.isNull() ? 0 : 1;
        if (made <= kKeep) return;
        for (Piece& p : pieces)
            if (p.lastUse != useCounter) p.image = {};
    }

    // The bar over `under` (or alone when it is null), cut to the bar's rectangle when alone.
    Image compose(const LowerThirdBarStyle& st, const QString& rawText, double t, const Image& under) {
        if (!ensureBackground(st)) return under;
        if (givenText != rawText) {
            // Cut first: a megabyte of text costs here what the longest ticker does.
            lineText = barLineText(cutBarText(rawText.trimmed(), bar::kMaxTextLength)).trimmed();
            givenText = rawText;
        }
        const QString& text = lineText;
        auto place = [&](const Image& layer) { return under.isNull() ? layer : placeOver(layer, 0, under); };
        if (text.isEmpty()) return place(backgroundImage);
        ensureMeasured(text);
        const BarTextMetrics& m = measured.m;
        if (!barTextScrolls(m.width, st.alwaysScroll)) return place(still(st, text));

        ensureStrip(st, text);
        const double cycle = m.cycle;
        if (!(cycle > 0)) return place(backgroundImage);
        double offset = std::fmod(st.scrollSpeed * t, cycle);
        if (!std::isfinite(offset)) offset = 0;
        Image out = place(backgroundImage);
        ++useCounter;
        // Copies from at most one cycle right of the frame to two cycles left of it, each drawn
        // over the ones before; only the pieces that reach into the bar are put in the graph.
        for (double x = bar::kWidth - offset - m.loopX0; x > -2 * cycle; x -= cycle) {
            for (Piece& p : pieces) {
                const double l = x + p.left;
                if (l >= bar::kWidth || l + p.width <= 0) continue;
                out = placeOver(piece(p, st), l, out);
            }
        }
        dropUnusedPieces();
        if (!under.isNull()) return out;
        return out.cropped({0, 0, double(bar::kWidth), double(st.height())});
    }
};

LowerThirdBarRenderer::LowerThirdBarRenderer() : s_(std::make_unique<State>()) {}
LowerThirdBarRenderer::~LowerThirdBarRenderer() = default;

Image LowerThirdBarRenderer::compose(const LowerThirdBarStyle& style, const QString& text, double t) {
    return s_->compose(style, text, t, Image());
}

Image LowerThirdBarRenderer::composeOver(const Image& frame, const LowerThirdBarStyle& style, const QString& text,
                                         double t) {
    if (frame.isNull()) return s_->compose(style, text, t, Image());
    return s_->compose(style, text, t, frame);
}

QImage LowerThirdBarRenderer::image(const LowerThirdBarStyle& style, const QString& text, double t) {
    const Image img = s_->compose(style, text, t, Image());
    if (img.isNull()) return {};
    if (!s_->renderer) s_->renderer = std::make_unique<engine::Renderer>(1, 256);
    return s_->renderer->renderQImage(img, {0, 0, bar::kWidth, style.height()});
}

int LowerThirdBarRenderer::backgroundDraws() const { return s_->backgroundDraws; }
int LowerThirdBarRenderer::textLayouts() const { return s_->textLayouts; }

QImage drawLowerThirdBar(const LowerThirdBarStyle& style, const QString& text, double t) {
    LowerThirdBarRenderer r;
    return r.image(style, text, t);
}

}  // namespace ostrela
