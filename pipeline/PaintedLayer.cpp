#include "pipeline/PaintedLayer.h"

#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
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

// Linear premultiplied RGBA in 16 bits a channel, bottom row first, covering `bounds`, with the
// span of each row that is not fully transparent. Eight bytes a pixel keep a card-sized layer
// mostly in cache, and turning one into floats is a widening and a multiply, no lookups.
struct Pixels {
    IRect bounds;
    std::vector<uint64_t> data;
    std::vector<std::pair<int, int>> spans;  // per row: [first, last) columns with alpha
    std::vector<uint8_t> opaqueRows;          // per row: every pixel fully opaque
    const uint64_t* row(int y) const { return data.data() + size_t(y - bounds.y) * bounds.w; }
};


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
        const IRect& b = px_->bounds;
        for (int y = in.y; y < in.maxY(); ++y) {
            const uint64_t* src = px_->row(y);
            float* o = out + (size_t(y - r.y) * r.w) * 4;
            const auto [f, l] = px_->spans[size_t(y - b.y)];
            const int x0 = std::max(in.x, b.x + f), x1 = std::min(in.maxX(), b.x + l);
            if (x1 > x0) engine::kernels::decodeRgba64Row(src + (x0 - b.x), x1 - x0, o + size_t(x0 - r.x) * 4);
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
        thread_local std::vector<uint64_t> padded;
        for (int y = in.y; y < in.maxY(); ++y) {
            const uint64_t* src = px_->row(y);
            auto [f, l] = px_->spans[size_t(y - b.y)];
            if (l <= f) continue;
            // Destination column x reads source columns s = x − shift − b.x (weight 1 − frac) and
            // s − 1 (weight frac); only the row's visible span matters.
            int x0 = b.x + shift_ + f, x1 = b.x + shift_ + l + (frac_ > 0 ? 1 : 0);
            x0 = std::max(x0, in.x);
            x1 = std::min(x1, in.maxX());
            if (x1 <= x0) continue;
            float* o = out + (size_t(y - r.y) * r.w + size_t(x0 - r.x)) * 4;
            const int s0 = x0 - shift_ - b.x;
            if (frac_ == 0) {
                engine::kernels::overRgba64Row(src + s0, nullptr, 1.0f, 0.0f, x1 - x0, o);
                continue;
            }
            // The span with a transparent pixel either side, so both reads stay inside it.
            padded.assign(size_t(l - f) + 2, 0u);
            std::memcpy(padded.data() + 1, src + f, size_t(l - f) * sizeof(uint64_t));
            const uint64_t* at = padded.data() + 1 - f;  // at[s] for f − 1 ≤ s ≤ l
            engine::kernels::overRgba64Row(at + s0, at + s0 - 1, 1.0f - frac_, frac_, x1 - x0, o);
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
    const float* t = decodeTable();
    auto px = std::make_shared<Pixels>();
    const int w = src.width(), h = src.height();
    px->bounds = {x, y, w, h};
    px->data.resize(size_t(w) * h);
    px->spans.resize(size_t(h));
    px->opaqueRows.resize(size_t(h));
    auto q = [](float v) { return uint64_t(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f); };
    for (int j = 0; j < h; ++j) {
        const auto* in = reinterpret_cast<const uint32_t*>(src.constScanLine(h - 1 - j));
        uint64_t* row = px->data.data() + size_t(j) * w;
        int f = w, l = 0;
        bool opaque = true;
        for (int i = 0; i < w; ++i) {
            const uint32_t p = in[i];
            const uint32_t a8 = p >> 24;
            opaque = opaque && a8 == 255;
            if (a8 == 0) {
                row[i] = 0;
                continue;
            }
            f = std::min(f, i);
            l = i + 1;
            // Unpremultiplied sRGB to premultiplied linear, as the engine decodes pictures.
            const float a = float(a8) / 255.0f;
            row[i] = q(t[(p >> 16) & 0xFF] * a) | q(t[(p >> 8) & 0xFF] * a) << 16 | q(t[p & 0xFF] * a) << 32 |
                     (a8 == 255 ? uint64_t(0xFFFF) : q(a)) << 48;
        }
        px->spans[size_t(j)] = {std::min(f, l), l};
        px->opaqueRows[size_t(j)] = opaque;
    }
    return engine::Image(std::make_shared<LayerNode>(std::move(px)));
}

engine::Image paintedLayer(const std::vector<float>& rgba, const IRect& bounds) {
    if (bounds.isEmpty() || rgba.size() < size_t(bounds.w) * bounds.h * 4) return {};
    auto q = [](float v) { return uint64_t(std::clamp(v, 0.0f, 1.0f) * 65535.0f + 0.5f); };
    // Below this alpha a pixel changes no 8-bit output value, not even over black.
    constexpr uint64_t kVisible = 10;
    auto alpha = [&](int i, int j) { return q(rgba[(size_t(j) * bounds.w + i) * 4 + 3]) >= kVisible; };
    // The part that shows.
    int x0 = bounds.w, x1 = -1, y0 = bounds.h, y1 = -1;
    for (int j = 0; j < bounds.h; ++j)
        for (int i = 0; i < bounds.w; ++i)
            if (alpha(i, j)) {
                x0 = std::min(x0, i);
                x1 = std::max(x1, i);
                y0 = std::min(y0, j);
                y1 = std::max(y1, j);
            }
    if (x1 < 0) return {};
    auto px = std::make_shared<Pixels>();
    const int w = x1 - x0 + 1, h = y1 - y0 + 1;
    px->bounds = {bounds.x + x0, bounds.y + y0, w, h};
    px->data.resize(size_t(w) * h);
    px->spans.resize(size_t(h));
    px->opaqueRows.resize(size_t(h));
    for (int j = 0; j < h; ++j) {
        const float* in = rgba.data() + (size_t(y0 + j) * bounds.w + x0) * 4;
        uint64_t* row = px->data.data() + size_t(j) * w;
        int f = w, l = 0;
        bool opaque = true;
        for (int i = 0; i < w; ++i) {
            const uint64_t a = q(in[4 * i + 3]);
            opaque = opaque && a == 0xFFFF;
            if (a < kVisible) {
                row[i] = 0;
                continue;
            }
            f = std::min(f, i);
            l = i + 1;
            row[i] = q(in[4 * i]) | q(in[4 * i + 1]) << 16 | q(in[4 * i + 2]) << 32 | a << 48;
        }
        px->spans[size_t(j)] = {std::min(f, l), l};
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
