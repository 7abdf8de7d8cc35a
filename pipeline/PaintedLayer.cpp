#include "pipeline/PaintedLayer.h"

#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <smmintrin.h>
#include <vector>

namespace ostrela {

using engine::IRect;
using engine::Node;
using engine::NodePtr;
using engine::Rect;

namespace {

const float* decodeTable() {
    static const auto table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) t[size_t(i)] = float(engine::color::srgbToLinear(i / 255.0));
        return t;
    }();
    return table.data();
}

// Unpremultiplied 8-bit sRGB (QImage ARGB32), bottom row first, covering `bounds`, with the span
// of each row that is not fully transparent. Four bytes a pixel keep a card-sized layer in cache;
// decoding without premultiplied division is three lookups and a multiply.
struct Pixels {
    IRect bounds;
    std::vector<uint32_t> data;
    std::vector<std::pair<int, int>> spans;  // per row: [first, last) columns with alpha
    std::vector<uint8_t> opaqueRows;          // per row: every pixel fully opaque
    const uint32_t* row(int y) const { return data.data() + size_t(y - bounds.y) * bounds.w; }
};

inline __m128 decodePixel(uint32_t p, const float* t) {
    const uint32_t a = p >> 24;
    if (a == 0) return _mm_setzero_ps();
    const float af = float(a) * (1.0f / 255.0f);
    const __m128 c = _mm_setr_ps(t[(p >> 16) & 0xFF], t[(p >> 8) & 0xFF], t[p & 0xFF], 1.0f);
    return _mm_mul_ps(c, _mm_set1_ps(af));
}

class LayerNode final : public Node {
public:
    explicit LayerNode(std::shared_ptr<const Pixels> px) : px_(std::move(px)) {}
    Rect extent() const override {
        const IRect& b = px_->bounds;
        return {double(b.x), double(b.y), double(b.w), double(b.h)};
    }
    void render(engine::TileContext&, const IRect& r, float* out) const override {
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        const IRect in = r.intersected(px_->bounds);
        if (in.isEmpty()) return;
        const float* t = decodeTable();
        const IRect& b = px_->bounds;
        for (int y = in.y; y < in.maxY(); ++y) {
            const uint32_t* src = px_->row(y);
            float* o = out + (size_t(y - r.y) * r.w) * 4;
            const auto [f, l] = px_->spans[size_t(y - b.y)];
            const int x0 = std::max(in.x, b.x + f), x1 = std::min(in.maxX(), b.x + l);
            for (int x = x0; x < x1; ++x) _mm_storeu_ps(o + size_t(x - r.x) * 4, decodePixel(src[x - b.x], t));
        }
    }
    const std::shared_ptr<const Pixels>& pixels() const { return px_; }

private:
    std::shared_ptr<const Pixels> px_;
};

// Layer (moved right by dx) over background, straight from the layer's pixels.
class PlaceOverNode final : public Node {
public:
    PlaceOverNode(std::shared_ptr<const Pixels> px, double dx, NodePtr bg) : px_(std::move(px)), bg_(std::move(bg)) {
        shift_ = int(std::floor(dx));
        frac_ = float(dx - shift_);
        const IRect& b = px_->bounds;
        // A fractional shift spreads each column over two destination columns.
        cover_ = {b.x + shift_, b.y, b.w + (frac_ > 0 ? 1 : 0), b.h};
    }
    Rect extent() const override {
        const Rect f{double(cover_.x), double(cover_.y), double(cover_.w), double(cover_.h)};
        return f.united(bg_->extent());
    }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return bg_.get(); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect& b = px_->bounds;
        if (!coversOpaquely(r)) ctx.renderInto(*bg_, r, out);
        const IRect in = r.intersected(cover_);
        if (in.isEmpty()) return;
        const float* t = decodeTable();
        const __m128 one = _mm_set1_ps(1.0f), w1 = _mm_set1_ps(frac_), w0 = _mm_set1_ps(1.0f - frac_);
        for (int y = in.y; y < in.maxY(); ++y) {
            const uint32_t* src = px_->row(y);
            auto [f, l] = px_->spans[size_t(y - b.y)];
            if (l <= f) continue;
            // Destination column x reads source columns s = x − shift − b.x (weight 1 − frac) and
            // s − 1 (weight frac); only the row's visible span matters.
            int x0 = b.x + shift_ + f, x1 = b.x + shift_ + l + (frac_ > 0 ? 1 : 0);
            x0 = std::max(x0, in.x);
            x1 = std::min(x1, in.maxX());
            float* o = out + (size_t(y - r.y) * r.w) * 4;
            if (frac_ == 0) {
                for (int x = x0; x < x1; ++x) {
                    const uint32_t p = src[x - shift_ - b.x];
                    if ((p >> 24) == 0) continue;
                    const __m128 fg = decodePixel(p, t);
                    float* d = o + size_t(x - r.x) * 4;
                    if ((p >> 24) == 0xFF) {
                        _mm_storeu_ps(d, fg);
                        continue;
                    }
                    const __m128 k = _mm_sub_ps(one, _mm_shuffle_ps(fg, fg, 0xFF));
                    _mm_storeu_ps(d, _mm_add_ps(fg, _mm_mul_ps(_mm_loadu_ps(d), k)));
                }
                continue;
            }
            for (int x = x0; x < x1; ++x) {
                const int s = x - shift_ - b.x;
                const uint32_t pa = (s >= f && s < l) ? src[s] : 0u;
                const uint32_t pb = (s - 1 >= f && s - 1 < l) ? src[s - 1] : 0u;
                if (((pa | pb) >> 24) == 0) continue;
                const __m128 fg = _mm_add_ps(_mm_mul_ps(decodePixel(pa, t), w0), _mm_mul_ps(decodePixel(pb, t), w1));
                const __m128 k = _mm_sub_ps(one, _mm_shuffle_ps(fg, fg, 0xFF));
                float* d = o + size_t(x - r.x) * 4;
                _mm_storeu_ps(d, _mm_add_ps(fg, _mm_mul_ps(_mm_loadu_ps(d), k)));
            }
        }
    }

private:
    // A whole-pixel placement whose pixels are all opaque over r hides the background there.
    bool coversOpaquely(const IRect& r) const {
        if (frac_ != 0 || !cover_.contains(r)) return false;
        const IRect& b = px_->bounds;
        for (int y = r.y; y < r.maxY(); ++y)
            if (!px_->opaqueRows[size_t(y - b.y)]) return false;
        return true;
    }

    std::shared_ptr<const Pixels> px_;
    int shift_ = 0;
    float frac_ = 0;
    IRect cover_;
    NodePtr bg_;
};

}  // namespace

engine::Image paintedLayer(const QImage& bitmap, int x, int y) {
    if (bitmap.isNull() || bitmap.width() <= 0 || bitmap.height() <= 0) return {};
    const QImage src = bitmap.format() == QImage::Format_ARGB32 ? bitmap : bitmap.convertToFormat(QImage::Format_ARGB32);
    if (src.isNull()) return {};
    auto px = std::make_shared<Pixels>();
    const int w = src.width(), h = src.height();
    px->bounds = {x, y, w, h};
    px->data.resize(size_t(w) * h);
    px->spans.resize(size_t(h));
    px->opaqueRows.resize(size_t(h));
    for (int j = 0; j < h; ++j) {
        const auto* in = reinterpret_cast<const uint32_t*>(src.constScanLine(h - 1 - j));
        uint32_t* row = px->data.data() + size_t(j) * w;
        std::memcpy(row, in, size_t(w) * 4);
        int f = 0, l = w;
        while (f < w && (row[f] >> 24) == 0) ++f;
        while (l > f && (row[l - 1] >> 24) == 0) --l;
        px->spans[size_t(j)] = {f, l};
        bool opaque = true;
        for (int i = 0; i < w && opaque; ++i) opaque = (row[i] >> 24) == 0xFF;
        px->opaqueRows[size_t(j)] = opaque;
    }
    return engine::Image(std::make_shared<LayerNode>(std::move(px)));
}

engine::Image placeOver(const engine::Image& layer, double dx, const engine::Image& background) {
    if (layer.isNull()) return background;
    if (!std::isfinite(dx)) return background;
    auto* node = dynamic_cast<const LayerNode*>(layer.node().get());
    if (!node || background.isNull()) return layer.translated(dx, 0).composited(background);
    return engine::Image(std::make_shared<PlaceOverNode>(node->pixels(), dx, background.node()));
}

}  // namespace ostrela
