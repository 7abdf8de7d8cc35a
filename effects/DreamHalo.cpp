#include "effects/DreamHalo.h"

#include "pipeline/engine/Schedule.h"
#include "effects/DreamHaloKernels.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>

namespace ostrela::effects::dream {

using engine::Image;
using engine::IRect;
using engine::Rect;
using engine::materialize;
using engine::balancedTileRows;
using engine::TileWatcher;
using engine::materializeWatched;
using engine::pooledPixels;
using engine::storedImage;
using engine::PairedNode;
using engine::materializePair;
using engine::PixelView;
using engine::pixelsOf;

namespace {

// A pixel's four channels, for the per-pixel remainders of the rows (the same operations in the
// same order as the vector rows of DreamHaloKernels.cpp).
struct Px {
    float c[4] = {0, 0, 0, 0};
    static Px load(const float* p) { return {{p[0], p[1], p[2], p[3]}}; }
    void store(float* p) const {
        for (int k = 0; k < 4; ++k) p[k] = c[k];
    }
};

// The σ the engine's blur uses on its grid reduced by two, and the support it gives.
double halfGridSigma(double sigma) { return engine::BlurNode::gridSigma(sigma, 2); }
int halfGridRadius(double sigma) { return engine::BlurNode::gridRadius(halfGridSigma(sigma)); }

// Grid samples whose bilinear expansion covers the pixels [lo, hi).
int gridLo(int lo) { return engine::BlurNode::gridRange(lo, lo + 1, 2).u0; }
int gridHi(int hi) { return engine::BlurNode::gridRange(hi - 1, hi, 2).u1; }

Rect rectOf(const IRect& r) { return {double(r.x), double(r.y), double(r.w), double(r.h)}; }

// Bilinear expansion of a stored half-grid picture, one row at a time, with the engine blur's
// own expansion.
class Expander {
public:
    Expander(engine::TileContext& ctx, const PixelView& low, int x0, int n)
        : low_(low), expand_(ctx, 2, low.bounds.x, low.bounds.w, x0, n) {}
    // Expanded row y (n pixels) into o.
    void row(int y, float* o) const {
        const IRect& b = low_.bounds;
        const double f = (y + 0.5) / 2 - 0.5, fl = std::floor(f);
        const int v0 = std::clamp(int(fl) - b.y, 0, b.h - 2);
        const float* l0 = low_.data + size_t(v0) * b.w * 4;
        expand_.row(l0, l0 + size_t(b.w) * 4, float(f - fl), o);
    }

private:
    const PixelView& low_;
    engine::detail::GridExpansion expand_;
};

// Step 5's last part: the expanded glow at 32 % over G (premultiplied, so every channel scaled).
class GlowOverNode final : public engine::Node {
public:
    GlowOverNode(Image g, PixelView gv, Image low, PixelView lv, const Rect& extent)
        : g_(std::move(g)), gv_(gv), low_(std::move(low)), lv_(lv), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const Expander glow(ctx, lv_, r.x, r.w);
        constexpr float k = 0.32f;
        for (int j = 0; j < r.h; ++j) {
            float* o = out + size_t(j) * r.w * 4;
            glow.row(r.y + j, o);
            const int y = r.y + j;
            const engine::IRect& gb = gv_.bounds;
            const bool whole = y >= gb.y && y < gb.maxY() && r.x >= gb.x && r.maxX() <= gb.maxX();
            const float* u = whole ? gv_.at(r.x, y) : nullptr;
            int i0 = 0;
            if (u) i0 = kernels::overRow(o, u, r.w, k);
            for (int i = i0; i < r.w; ++i) {
                const float* q = u ? u + 4 * i : gv_.at(r.x + i, y);
                const Px b = q ? Px::load(q) : Px{};
                float* p = o + 4 * i;
                const float a[4] = {p[0] * k, p[1] * k, p[2] * k, p[3] * k};
                const float t = 1.0f - a[3];
                for (int c = 0; c < 4; ++c) p[c] = a[c] + b.c[c] * t;
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    Image g_;
    PixelView gv_;
    Image low_;
    PixelView lv_;
    Rect extent_;
};

// The red and blue taps for a fringe of `offset` pixels: base column offset and weight.
struct FringeTaps {
    int rb, lb;
    float rw, lw;
};

FringeTaps fringeTaps(double offset) {
    // Bilinear along x at centre x + 0.5 − shift − 0.5: base column and weight, same for every pixel.
    auto split = [](double shift, int& base, float& w) {
        const double f = -shift, fl = std::floor(f);
        base = int(fl);
        w = float(f - fl);
    };
    FringeTaps t{};
    split(offset, t.rb, t.rw);   // red: source x = x − o
    split(-offset, t.lb, t.lw);  // blue: source x = x + o
    return t;
}

// One row of the fringe: the red of `row` moved right by the offset and its blue moved left,
// screened together and then over the row. `row` holds the pixels [bx0, bx1) of the row
// (transparent beyond them, null for a transparent row); writes n pixels from column x0.
void fringeRow(const float* row, int bx0, int bx1, int x0, int n, int rb, float rw, int lb, float lw, float* o) {
    auto tap = [&](int x, int c) -> float { return row && x >= bx0 && x < bx1 ? row[size_t(x - bx0) * 4 + c] : 0.0f; };
    // Pixels whose four taps and own pixel all lie inside: one interval of the row.
    int lo = 0, hi = 0;
    if (row) {
        lo = std::clamp(std::max({bx0, bx0 - rb, bx0 - lb}) - x0, 0, n);
        hi = std::clamp(std::min({bx1, bx1 - rb - 1, bx1 - lb - 1}) - x0, lo, n);
        hi = lo + kernels::fringeRow(row, bx0, x0 + lo, hi - lo, rb, lb, rw, lw, o + 4 * lo);
    }
    for (int i = 0; i < n; ++i) {
        if (i == lo && hi > lo) {
            i = hi - 1;
            continue;
        }
        const int x = x0 + i;
        float rr, ra, bbv, ba;
        const int xr = x + rb, xl = x + lb;
        if (row && xr >= bx0 && xr + 1 < bx1 && xl >= bx0 && xl + 1 < bx1) {
            const float* p = row + size_t(xr - bx0) * 4;
            const float* q = row + size_t(xl - bx0) * 4;
            rr = p[0] + (p[4] - p[0]) * rw;
            ra = p[3] + (p[7] - p[3]) * rw;
            bbv = q[2] + (q[6] - q[2]) * lw;
            ba = q[3] + (q[7] - q[3]) * lw;
        } else {
            rr = tap(xr, 0) * (1 - rw) + tap(xr + 1, 0) * rw;
            ra = tap(xr, 3) * (1 - rw) + tap(xr + 1, 3) * rw;
            bbv = tap(xl, 2) * (1 - lw) + tap(xl + 1, 2) * lw;
            ba = tap(xl, 3) * (1 - lw) + tap(xl + 1, 3) * lw;
        }
        const float sv[4] = {rr, 0.0f, bbv, ra + ba - ra * ba};
        const bool inside = row && x >= bx0 && x < bx1;
        const Px b = inside ? Px::load(row + size_t(x - bx0) * 4) : Px{};
        for (int c = 0; c < 4; ++c) o[4 * i + c] = (sv[c] + b.c[c]) - sv[c] * b.c[c];
    }
}

// Step 8 over one row: the previous frame's row (`pv`, transparent beyond its bounds) at 16 %
// over the row c of pixels [x0, x0 + n) of row y.
void echoRow(const float* c, const PixelView& pv, int x0, int y, int n, float* o) {
    constexpr float k = 0.16f;
    const IRect& b = pv.bounds;
    const bool whole = y >= b.y && y < b.maxY() && x0 >= b.x && x0 + n <= b.maxX();
    const float* p = whole ? pv.at(x0, y) : nullptr;
    for (int i = p ? kernels::echoRow(c, p, n, k, o) : 0; i < n; ++i) {
        const float* q = p ? p + 4 * i : pv.at(x0 + i, y);
        const float* bb = c + 4 * i;
        const float f[4] = {q ? q[0] * k : 0.0f, q ? q[1] * k : 0.0f, q ? q[2] * k : 0.0f, q ? q[3] * k : 0.0f};
        const float t = 1.0f - f[3];
        for (int ch = 0; ch < 4; ++ch) o[4 * i + ch] = f[ch] + bb[ch] * t;
    }
}

// Paired with step 8: the previous frame's picture at 16 % over each fringed row as it is made.
class BloomFringeNode final : public PairedNode {
public:
    BloomFringeNode(Image x, PixelView xv, Image halo, PixelView hv, FringeTaps taps, Image echo, PixelView ev,
                    const Rect& extent)
        : x_(std::move(x)), xv_(xv), halo_(std::move(halo)), hv_(hv), taps_(taps), echo_(std::move(echo)), ev_(ev),
          extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override { renderPair(ctx, r, out, nullptr); }
    void renderPair(engine::TileContext& ctx, const IRect& r, float* out, float* second) const override {
        const IRect xb = xv_.bounds;
        // The taps reach at most reach pixels either side.
        const int reach = std::max({std::abs(taps_.rb), std::abs(taps_.lb), std::abs(taps_.rb + 1), std::abs(taps_.lb + 1)});
        const int bx0 = std::max(xb.x, r.x - reach), bx1 = std::min(xb.maxX(), r.maxX() + reach);
        const int n = std::max(0, bx1 - bx0);
        float* row = ctx.alloc(size_t(n) * 4 + 4);
        const Expander halo(ctx, hv_, bx0, std::max(n, 1));
        constexpr float k = 0.45f;
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            if (n == 0 || y < xb.y || y >= xb.maxY()) {
                fringeRow(nullptr, 0, 0, r.x, r.w, taps_.rb, taps_.rw, taps_.lb, taps_.lw, o);
                continue;
            }
            halo.row(y, row);
            const float* xr = xv_.at(bx0, y);
            for (int j2 = kernels::screenRow(row, xr, n, k) * 4; j2 < n * 4; ++j2) {
                const float a = row[j2] * k, b = xr[j2];
                row[j2] = (a + b) - a * b;
            }
            fringeRow(row, bx0, bx1, r.x, r.w, taps_.rb, taps_.rw, taps_.lb, taps_.lw, o);
        }
        engine::detail::clearOutside(out, r, extent_);
        if (!second) return;
        for (int j = 0; j < r.h; ++j) echoRow(out + size_t(j) * r.w * 4, ev_, r.x, r.y + j, r.w, second + size_t(j) * r.w * 4);
        engine::detail::clearOutside(second, r, extent_);
    }

private:
    Image x_;
    PixelView xv_;
    Image halo_;
    PixelView hv_;
    FringeTaps taps_;
    Image echo_;
    PixelView ev_;
    Rect extent_;
};

}  // namespace

GridGatherer::GridGatherer(const IRect& bounds, const IRect& grid, int tileRows, bool clampEdges)
    : bounds_(bounds), grid_(grid), clamp_(clampEdges) {
    // Cells whose four pixels lie inside; with even tile edges each such cell's two rows are
    // always in one tile.
    inner_.x = std::max(grid.x, int(std::ceil(bounds.x / 2.0)));
    inner_.y = std::max(grid.y, int(std::ceil(bounds.y / 2.0)));
    const int x1 = std::min(grid.maxX(), int(std::floor((bounds.maxX() - 2) / 2.0)) + 1);
    const int y1 = std::min(grid.maxY(), int(std::floor((bounds.maxY() - 2) / 2.0)) + 1);
    inner_.w = std::max(0, x1 - inner_.x);
    inner_.h = std::max(0, y1 - inner_.y);
    active_ = !grid.isEmpty() && !inner_.isEmpty() && tileRows % 2 == 0 && bounds.y % 2 == 0;
    if (active_) pixels_ = pooledPixels(size_t(grid.w) * grid.h * 4);
}

TileWatcher GridGatherer::watcher() {
    return [this](const IRect& tile, const float* px) {
        // Cells of this tile: both their rows inside it.
        const int v0 = std::max(inner_.y, int(std::ceil(tile.y / 2.0)));
        const int v1 = std::min(inner_.maxY(), int(std::floor((tile.maxY() - 2) / 2.0)) + 1);
        for (int v = v0; v < v1; ++v) {
            const float* s0 = px + size_t(2 * v - tile.y) * tile.w * 4;
            const float* s1 = s0 + size_t(tile.w) * 4;
            float* o = pixels_->data() + (size_t(v - grid_.y) * grid_.w + (inner_.x - grid_.x)) * 4;
            // The same sums in the same order as reduceCells.
            const int u = inner_.x;
            engine::kernels::boxRow2(s0 + size_t(2 * u - tile.x) * 4, s1 + size_t(2 * u - tile.x) * 4, inner_.maxX() - u, o);
        }
    };
}

Image GridGatherer::finish(const PixelView& made) {
    if (!active_ || !made || !(made.bounds == bounds_)) return {};
    float* d = pixels_->data();
    const size_t stride = size_t(grid_.w) * 4;
    auto fill = [&](const IRect& r) {
        if (r.w > 0 && r.h > 0) engine::reduceCells(made, clamp_, r, d + (size_t(r.y - grid_.y) * grid_.w + (r.x - grid_.x)) * 4, stride);
    };
    // The cells about the inner ones, which read beyond the picture or half of it.
    fill({grid_.x, grid_.y, grid_.w, inner_.y - grid_.y});
    fill({grid_.x, inner_.maxY(), grid_.w, grid_.maxY() - inner_.maxY()});
    fill({grid_.x, inner_.y, inner_.x - grid_.x, inner_.h});
    fill({inner_.maxX(), inner_.y, grid_.maxX() - inner_.maxX(), inner_.h});
    return storedImage(std::move(pixels_), grid_, rectOf(grid_));
}

namespace {
constexpr double kGlow = 5.5, kBloom = 6.0;  // both on the engine's grid reduced by two

// The grid samples every expansion over the picture reads.
IRect neededGrid(const IRect& eb) {
    return {gridLo(eb.x), gridLo(eb.y), gridHi(eb.maxX()) - gridLo(eb.x) + 1, gridHi(eb.maxY()) - gridLo(eb.y) + 1};
}
}  // namespace

IRect expansionGrid(const IRect& b) { return b.isEmpty() ? IRect{} : neededGrid(b); }

IRect glowGrid(const Rect& extent) {
    if (extent.isInfinite() || extent.isEmpty()) return {};
    const IRect eb = engine::pixelBounds(extent);
    if (eb.isEmpty()) return {};
    const int r1 = halfGridRadius(kGlow);
    return neededGrid(eb).grown(r1, r1);
}

Image glowBloomFringe(const Image& G, double offset, const Rect& extent, const Image& echo, Image& withEcho,
                      const Image& gridOfG, const TileWatcher* onEchoTile) {
    withEcho = Image();
    const PixelView gv = pixelsOf(G);
    if (!gv || extent.isInfinite() || extent.isEmpty()) return {};
    const IRect eb = engine::pixelBounds(extent);
    if (eb.isEmpty()) return {};
    const IRect need = neededGrid(eb);

    // 5. Glow: G (transparent beyond its extent) reduced, blurred and brightened on the grid.
    const int r1 = halfGridRadius(kGlow);
    const PixelView given = pixelsOf(gridOfG);
    const Image gr = given && given.bounds == need.grown(r1, r1)
                         ? gridOfG
                         : engine::reducedGrid(G, need.grown(r1, r1), false);
    const Image glowLow = materialize(
        engine::filters::colorControls(Image(std::make_shared<engine::BlurNode>(gr.node(), halfGridSigma(kGlow))), 1.0, 0.06, 1.0)
            .cropped(rectOf(need)));
    const PixelView lv = pixelsOf(glowLow);
    if (!lv || lv.bounds.w < 2 || lv.bounds.h < 2) return {};
    // x's bloom grid (step 6) is gathered as x is made, where its tiles allow.
    const int r2 = halfGridRadius(kBloom);
    const Image over(std::make_shared<GlowOverNode>(G, gv, glowLow, lv, extent));
    const int xRows = balancedTileRows(engine::pixelBounds(over.extent()).h, 64);
    GridGatherer gather(engine::pixelBounds(over.extent()), need.grown(r2, r2), xRows, true);
    const Image x = gather.active() ? materializeWatched(over, xRows, gather.watcher()) : materialize(over);
    const PixelView xv = pixelsOf(x);
    if (!xv) return {};

    // 6. Bloom: x with its edges repeated outwards, reduced and blurred on the grid.
    Image xr = gather.finish(xv);
    if (xr.isNull()) xr = engine::reducedGrid(x, need.grown(r2, r2), true);
    const Image haloLow = materialize(
        Image(std::make_shared<engine::BlurNode>(xr.node(), halfGridSigma(kBloom))).cropped(rectOf(need)));
    const PixelView hv = pixelsOf(haloLow);
    if (!hv || hv.bounds.w < 2 || hv.bounds.h < 2) return {};

    // 7. The bloomed picture's rows made and fringed in one pass, with step 8 beside it.
    const PixelView ev = pixelsOf(echo);
    const Image C(std::make_shared<BloomFringeNode>(x, xv, haloLow, hv, fringeTaps(offset), echo, ev, extent));
    if (!ev) return materialize(C);
    return onEchoTile ? materializePair(C, withEcho, *onEchoTile) : materializePair(C, withEcho);
}

}  // namespace ostrela::effects::dream
