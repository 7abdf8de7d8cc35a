#include "pipeline/engine/Glyphs.h"

#include "pipeline/engine/Nodes.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QStaticText>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ostrela::engine {

namespace {

constexpr int kPad = 4;

class GlyphLayerNode final : public Node {
public:
    struct Item {
        const GlyphCoverage* glyph;
        int x0, top0;    // the coverage's top-left pixel, top down
        float color[4];  // linear premultiplied
    };
    GlyphLayerNode(int w, int h, std::vector<Item> items, std::shared_ptr<GlyphCache> cache)
        : w_(w), h_(h), items_(std::move(items)), cache_(std::move(cache)) {}
    Rect extent() const override { return {0, 0, double(w_), double(h_)}; }

    void render(TileContext&, const IRect& r, float* out) const override {
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        const IRect rr = r.intersected({0, 0, w_, h_});
        if (rr.isEmpty()) return;
        for (const Item& it : items_) {
            const GlyphCoverage& s = *it.glyph;
            // Coverage row k sits on bitmap row top0 + k (top down), that is on y = h − 1 − top0 − k.
            const int kLo = std::max(0, h_ - it.top0 - rr.maxY()), kHi = std::min(s.h, h_ - it.top0 - rr.y);
            const int iLo = std::max(0, rr.x - it.x0), iHi = std::min(s.w, rr.maxX() - it.x0);
            if (kLo >= kHi || iLo >= iHi) continue;
            for (int k = kLo; k < kHi; ++k) {
                const int y = h_ - 1 - it.top0 - k;
                const float* cov = s.coverage.data() + size_t(k) * s.w;
                float* o = out + (size_t(y - r.y) * r.w + (it.x0 - r.x)) * 4;
                for (int i = iLo; i < iHi; ++i) {
                    const float c = cov[i];
                    if (c == 0.0f) continue;
                    float* p = o + 4 * i;
                    const float k1 = 1.0f - it.color[3] * c;
                    for (int ch = 0; ch < 4; ++ch) p[ch] = it.color[ch] * c + p[ch] * k1;
                }
            }
        }
    }

private:
    int w_, h_;
    std::vector<Item> items_;
    std::shared_ptr<GlyphCache> cache_;  // owns the items' coverage
};

}  // namespace

QImage pointBitmap(int width, int height) {
    QImage img(std::max(width, 1), std::max(height, 1), QImage::Format_ARGB32_Premultiplied);
    if (img.isNull()) return img;
    // 2835 dots per metre: QImage reports whole dots per inch, and this reads as 72.
    img.setDotsPerMeterX(2835);
    img.setDotsPerMeterY(2835);
    img.fill(Qt::transparent);
    return img;
}

GlyphCache::GlyphCache(QFont font) : font_(std::move(font)) {
    const QImage probe = pointBitmap(1, 1);
    const QFontMetricsF fm(font_, &probe);
    ascent_ = fm.ascent();
    maxWidth_ = fm.maxWidth();
    height_ = fm.height();
}

const GlyphCoverage& GlyphCache::glyph(QChar c) {
    auto& slot = glyphs_[c.unicode()];
    if (slot) return *slot;
    auto s = std::make_unique<GlyphCoverage>();
    s->w = int(std::ceil(maxWidth_)) + 2 * kPad;
    s->h = int(std::ceil(height_)) + 2 * kPad;
    QStaticText line{QString(c)};
    line.setTextFormat(Qt::PlainText);
    line.prepare(QTransform(), font_);
    QImage img = pointBitmap(s->w, s->h);
    if (!img.isNull()) {
        QPainter p(&img);
        p.setFont(font_);
        p.setPen(Qt::white);
        // The text line's top-left on a whole pixel; the baseline's row is where it lands.
        p.drawStaticText(QPointF(kPad, kPad), line);
    }
    s->originX = kPad;
    s->baselineRow = kPad + int(std::lround(ascent_));
    s->coverage.assign(size_t(s->w) * s->h, 0.0f);
    for (int y = 0; y < s->h && !img.isNull(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < s->w; ++x) s->coverage[size_t(y) * s->w + x] = qAlpha(row[x]) / 255.0f;
    }
    slot = std::move(s);
    return *slot;
}

Image glyphLayer(const std::shared_ptr<GlyphCache>& cache, int width, int height, const std::vector<PlacedGlyph>& glyphs) {
    width = std::max(1, width);
    height = std::max(1, height);
    std::vector<GlyphLayerNode::Item> items;
    items.reserve(glyphs.size());
    for (const PlacedGlyph& g : glyphs) {
        if (!std::isfinite(g.x) || !std::isfinite(g.baseline) || std::abs(g.x) > 1e8 || std::abs(g.baseline) > 1e8) continue;
        const GlyphCoverage& s = cache->glyph(g.ch);
        GlyphLayerNode::Item it;
        it.glyph = &s;
        it.x0 = int(std::lround(g.x)) - s.originX;
        it.top0 = int(std::lround(g.baseline)) - s.baselineRow;
        it.color[0] = g.color.r;
        it.color[1] = g.color.g;
        it.color[2] = g.color.b;
        it.color[3] = g.color.a;
        items.push_back(it);
    }
    return Image(std::make_shared<GlyphLayerNode>(width, height, std::move(items), cache));
}

}  // namespace ostrela::engine
