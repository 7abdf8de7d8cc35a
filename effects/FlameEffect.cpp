#include "effects/FlameEffect.h"

#include "effects/FlameKernels.h"

#include "pipeline/engine/Schedule.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
using engine::materialize;
using engine::materializeInBands;
using engine::materializeWatched;
using engine::PixelView;
using engine::pixelsOf;
using engine::straightforwardChains;
using engine::resampled;
namespace filters = engine::filters;

namespace {

// The look's scales and thresholds, one set for the plain chain and the fused passes below.

// A scrolling noise octave: its speed and phase of scroll, its factor s and its blur.
struct OctaveSpec {
    double speed, phase, factor, sigma;
};
constexpr OctaveSpec kOctaveA{22, 0, 0.035, 4.0}, kOctaveB{48, 3071, 0.09, 3.0}, kOctaveC{-30, 8842, 0.06, 6.0};
// Octave noise is resampled on cells 1/s wide and this many times as tall: per-pixel noise blurs
// to a flat veil, while cells taller than wide give blobs that stand up like tongues.
constexpr double kTongueStretch = 4.0;

// colorControls with saturation 1: e' = (e − 0.5)·contrast + 0.5 + brightness, zero below
// e = 0.5 − (0.5 + brightness) / contrast.
struct ToneSpec {
    double contrast, brightness;
    float bias() const { return float(0.5 * (1.0 - contrast) + brightness); }
};
// The octaves' thresholds leave dark gaps between the tongues: A keeps encoded values from 0.82 up,
// B (the finer detail) from 0.94 up; the steeper contrast keeps what passes bright.
constexpr ToneSpec kToneA{4.0, -1.78}, kToneB{4.0, -2.26}, kToneCore{1.7, 0.05};
// The embers keep a channel only from encoded 0.9998 up (full at 1): on uniform noise about
// 0.2 % of the pixels, which the blur spreads into specks covering about 1 %.
constexpr ToneSpec kToneEmbers{5000.0, -2499.5};

// The noise an octave scrolls, as a picture of its own pixels: random values on cells 1/s wide and
// kTongueStretch/s tall, mixed bilinearly between the cells' centres, taken at pixel centres.
// Moved by a fraction of a pixel it is resampled from those pixels, as any picture is (not from
// the cells again), so the move commutes with the blur and kept blurred rows give the same octave.
class CellNoiseNode final : public engine::Node {
public:
    explicit CellNoiseNode(double factor)
        : cells_(filters::randomNoise().scaled(1.0 / factor, kTongueStretch / factor).node()) {}
    Rect extent() const override { return Rect::infinite(); }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return cells_.get(); }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override { ctx.renderInto(*cells_, r, out); }

private:
    engine::NodePtr cells_;
};

Image octaveNoise(double factor) {
    const Image noise = filters::randomNoise();
    return noise.isNull() ? noise : Image(std::make_shared<CellNoiseNode>(factor));
}

// The embers' fade as weights worked out once, one a row (it changes along y only): k is the
// mask's encoded luminance times its alpha, the value a blend with it over an empty background
// computes for every pixel (the result is k times the input).
struct MaskWeights {
    engine::IRect bounds;
    std::vector<float> k;  // bounds.h, bottom row first
};

float weightOf(const float* m) {
    const float ma = std::clamp(m[3], 0.0f, 1.0f);
    if (!(ma > 0.0f)) return 0.0f;
    const float y = (filters::kLumR * m[0] + filters::kLumG * m[1] + filters::kLumB * m[2]) / ma;
    return filters::encodeSRGBFast(y) * ma;
}

// The row weights of `mask` over `region`, read from one column.
std::shared_ptr<const MaskWeights> rowWeightsOf(const Image& mask, const Rect& region) {
    auto w = std::make_shared<MaskWeights>();
    w->bounds = engine::pixelBounds(region.intersected(mask.extent()));
    if (w->bounds.isEmpty()) return w;
    const engine::IRect b = w->bounds;
    const Image px = materialize(mask.cropped(Rect{double(b.x), double(b.y), 1.0, double(b.h)}));
    const PixelView v = pixelsOf(px);
    w->k.assign(size_t(b.h), 0.0f);
    for (int y = 0; y < b.h; ++y) {
        const float* m = v ? v.at(b.x, b.y + y) : nullptr;
        w->k[size_t(y)] = m ? weightOf(m) : 0.0f;
    }
    return w;
}

// ---- Octave B from blurred noise kept across frames ----
// B's blur is a plain full-resolution Gaussian, which commutes with the octave's move: B is its
// blurred coarse noise, moved. The noise scrolls by under two rows a frame, so the blurred rows are
// kept and only the rows that scroll in are blurred.
// A ring of blurred noise rows: row y lives in slot y mod cap; rows [y0, y0 + n) are valid.
struct BlurredRows {
    int x0 = 0, w = 0, y0 = 0, n = 0, cap = 0;  // noise coordinates
    // cap rows of w RGBA pixels, each written before it is read (so never zeroed first)
    std::vector<float, engine::LargeAllocator<float>> px;
    float* slot(int y) { return px.data() + size_t(((y % cap) + cap) % cap) * w * 4; }
    const float* row(int y) const { return px.data() + size_t(((y % cap) + cap) % cap) * w * 4; }
    // Moves the window to rows [first, first + count): rows it already holds stay, the others are
    // made by fill(lo, hi) for each missing run.
    template <class Fill>
    void slideTo(int first, int count, Fill&& fill) {
        const int keepLo = std::max(first, y0), keepHi = std::min(first + count, y0 + n);
        if (n == 0 || keepHi <= keepLo) {
            fill(first, first + count);
        } else {
            fill(first, keepLo);
            fill(keepHi, first + count);
        }
        y0 = first, n = count;
    }
};

// The octave over its extent: destination row y mixes noise row y + q (from `lower`) and y + q + 1
// (from `upper`) with the move's bilinear weights, q = floor(−off). The move and the blur are
// both linear, so this is the blur of the moved noise; for a blur on a grid of every other row the
// two rows come from the grid phases the two whole-row moves give.
class ShiftedRowsNode final : public engine::Node, public engine::RowSource {
public:
    ShiftedRowsNode(std::shared_ptr<const BlurredRows> lower, std::shared_ptr<const BlurredRows> upper, double off,
                    const Rect& extent)
        : lower_(std::move(lower)), upper_(std::move(upper)), off_(off), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext&, const engine::IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j) rowOf(this, r.y + j, r.x, r.maxX(), out + size_t(j) * r.w * 4);
    }
    // Rows are made on demand from the kept rows, so a run reads them a piece at a time, or mixes
    // the two kept rows itself.
    const void* readyRows(engine::TileContext&, const engine::IRect&) const override { return this; }
    bool movedRows(const void*, int yy, int xa, int xb, const float** lo, const float** hi, float* wx, float* wy) const override {
        const engine::IRect e = engine::pixelBounds(extent_);
        if (yy < e.y || yy >= e.maxY() || xa < e.x || xb > e.maxX()) return false;
        const BlurredRows& g0 = *lower_;
        const BlurredRows& g1 = *upper_;
        const double f = (yy + 0.5) - off_ - 0.5, fl = std::floor(f);
        const int y = int(fl);
        if (!(y >= g0.y0 && y < g0.y0 + g0.n && y + 1 >= g1.y0 && y + 1 < g1.y0 + g1.n)) return false;
        // Readers may read a pixel past the end (for a sideways mix, here of weight 0).
        if (xa < std::max(g0.x0, g1.x0) || xb + 1 > std::min(g0.x0 + g0.w, g1.x0 + g1.w)) return false;
        *lo = g0.row(y) + size_t(xa - g0.x0) * 4;
        *hi = g1.row(y + 1) + size_t(xa - g1.x0) * 4;
        *wx = 0.0f;
        *wy = float(f - fl);
        return true;
    }
    void rowOf(const void*, int yy, int xa, int xb, float* o) const override {
        const BlurredRows& g0 = *lower_;
        const BlurredRows& g1 = *upper_;
        const int w = xb - xa;
        // The move's bilinear read, as the engine's translation does it (no sideways part).
        const double f = (yy + 0.5) - off_ - 0.5, fl = std::floor(f);
        const int y = int(fl);
        const float vy = float(f - fl);
        const engine::IRect e = engine::pixelBounds(extent_);
        const bool rowsIn = yy >= e.y && yy < e.maxY() && y >= g0.y0 && y < g0.y0 + g0.n && y + 1 >= g1.y0 && y + 1 < g1.y0 + g1.n;
        // Columns [i0, i1) are inside the extent and held by both grids (they share their columns).
        const int i0 = rowsIn ? std::clamp(std::max({g0.x0, g1.x0, e.x}) - xa, 0, w) : 0;
        const int i1 = rowsIn ? std::clamp(std::min({g0.x0 + g0.w, g1.x0 + g1.w, e.maxX()}) - xa, i0, w) : 0;
        std::memset(o, 0, size_t(i0) * 4 * sizeof(float));
        std::memset(o + size_t(i1) * 4, 0, size_t(w - i1) * 4 * sizeof(float));
        if (i1 > i0) {
            const float* bp = g0.row(y) + size_t(xa + i0 - g0.x0) * 4;
            const float* tp = g1.row(y + 1) + size_t(xa + i0 - g1.x0) * 4;
            engine::kernels::mixRows(bp, tp, size_t(i1 - i0) * 4, vy, o + size_t(i0) * 4);
        }
    }

private:
    std::shared_ptr<const BlurredRows> lower_, upper_;
    double off_;
    Rect extent_;
};

// Brings `g` to noise rows [y0, y0 + n), columns [x0, x0 + w), blurred with `sigma`, blurring
// only the rows it does not hold yet. `phase` (0 or 1): blurs of large sigma work on a grid of
// every other row; the grid's rows are those of this parity, in noise coordinates.
void updateRows(BlurredRows& g, double factor, double sigma, int x0, int w, int y0, int n, int phase) {
    const size_t rowFloats = size_t(w) * 4;
    if (g.x0 != x0 || g.w != w || g.cap < n) {
        g = BlurredRows{};
        g.x0 = x0, g.w = w, g.cap = n + 8;
        g.px.resize(rowFloats * size_t(g.cap));
    }
    auto fill = [&](int lo, int hi) {  // blur rows [lo, hi) afresh
        if (hi <= lo) return;
        // Moved up by the phase (a whole row, so no resampling), the grid's even rows are the
        // noise rows of that parity.
        const Image b = materialize(octaveNoise(factor).translated(0, phase).gaussianBlur(sigma).cropped(
            Rect{double(x0), double(lo + phase), double(w), double(hi - lo)}));
        const PixelView v = pixelsOf(b);
        for (int y = lo; y < hi; ++y) {
            float* dst = g.slot(y);
            if (const float* src = v ? v.at(x0, y + phase) : nullptr) std::memcpy(dst, src, rowFloats * sizeof(float));
            else std::memset(dst, 0, rowFloats * sizeof(float));
        }
    };
    g.slideTo(y0, n, fill);
}

// Octave `slot` over `region` of E from its kept rows. Blurs of sigma 4 and up work on a grid of
// every other row, anchored at even rows of what they blur, so their rows are kept in both phases.
}  // namespace

namespace flame {
// What one Flame object keeps between frames: the octaves' blurred rows and the masks' weights.
// All of it can be made again from the frame time and the extent.
struct Caches {
    // Rewritten in place each frame: an octave is read only while its frame's S is evaluated,
    // before fireLayer returns.
    std::shared_ptr<BlurredRows> keptRows[3][2];
    double keptSigmas[3] = {};
    // The fire mask depends on the extent only: kept, evaluated, for the extent last used.
    Rect maskKey, maskBand;
    Image mask;
    Rect fadeKey;
    std::shared_ptr<const MaskWeights> fade;
    // The embers' noise rows; two sets, so that a frame's graph still held (and perhaps being
    // rendered) while the next one is made reads rows that nobody writes meanwhile.
    std::shared_ptr<BlurredRows> noise[2];
};
}  // namespace flame

namespace {

Image cachedOctave(flame::Caches& caches, int slot, const Rect& E, const Rect& region, double off, const OctaveSpec& o) {
    const double sigma = o.sigma;
    auto& keptRows = caches.keptRows;
    auto& keptSigmas = caches.keptSigmas;
    const int q = int(std::floor(-off));
    const bool phased = sigma >= 4;
    const engine::IRect b = engine::pixelBounds(region);
    const int lo = int(std::floor(b.y - off)), hi = int(std::floor(b.maxY() - 1 - off)) + 2;
    for (int p = 0; p < (phased ? 2 : 1); ++p) {
        auto& g = keptRows[slot][p];
        if (!g || keptSigmas[slot] != sigma) g = std::make_shared<BlurredRows>();
        // A column more than the region: readers of moved rows may read a pixel past the end.
        updateRows(*g, o.factor, sigma, b.x, b.w + 1, lo, hi - lo, p);
    }
    keptSigmas[slot] = sigma;
    // Row y + q is row y of the noise moved by −q; that move puts the grid on rows of q's parity.
    const int pLow = phased ? (q % 2 + 2) % 2 : 0, pHigh = phased ? 1 - pLow : 0;
    return Image(std::make_shared<ShiftedRowsNode>(keptRows[slot][pLow], keptRows[slot][pHigh], off, region.intersected(E)));
}

// The embers' noise rows for a frame, kept across frames: the noise at whole pixels never changes
// and the embers only scroll over it (about four rows a frame) and sway by a few pixels, so only
// the rows that scroll in are made. Null when both sets are still held by earlier graphs.
std::shared_ptr<const BlurredRows> keptNoise(flame::Caches& caches, const engine::IRect& eb, double width, int qy) {
    std::shared_ptr<BlurredRows>* mine = nullptr;
    for (auto& g : caches.noise)
        if (!g || g.use_count() == 1) {
            mine = &g;
            break;
        }
    if (!mine) return nullptr;
    if (!*mine) *mine = std::make_shared<BlurredRows>();
    BlurredRows& g = **mine;
    // Columns for every sway (|offset| at most 2 % of the width), rows for this frame's scroll.
    const int sway = int(std::ceil(0.02 * width)) + 1;
    const int x0 = eb.x - sway, w = eb.w + 2 * sway + 1, y0 = eb.y + qy, n = eb.h + 1;
    if (g.x0 != x0 || g.w != w || g.cap < n) {
        g = BlurredRows{};
        g.x0 = x0, g.w = w, g.cap = n + 8;
        g.px.resize(size_t(w) * 4 * size_t(g.cap));
    }
    auto fill = [&](int lo, int hi) {  // rows [lo, hi) afresh
        if (hi - lo < 32) {
            for (int y = lo; y < hi; ++y) engine::kernels::noiseRow(x0, y, w, g.slot(y));
            return;
        }
        // Many rows (the first frame, a jump in time): made on the renderer's workers, each tile
        // copied into its slots while it is still in cache.
        BlurredRows* gp = &g;
        materializeWatched(filters::randomNoise().cropped(Rect{double(x0), double(lo), double(w), double(hi - lo)}), 64,
                           [gp, x0](const engine::IRect& t, const float* px) {
                               for (int j = 0; j < t.h; ++j)
                                   std::memcpy(gp->slot(t.y + j) + size_t(t.x - x0) * 4, px + size_t(j) * t.w * 4,
                                               size_t(t.w) * 4 * sizeof(float));
                           });
    };
    g.slideTo(y0, n, fill);
    return *mine;
}

// ---- The embers in one pass ----
// Noise moved by a constant sub-pixel offset, the hard tone, the 1.4 px blur, the false colour and
// the fade, per tile in the tile's own buffers. The move's weights are the same for every pixel,
// so a moved row is two noise rows mixed. The hard tone is flat outside its steep span, so its
// curve is only worked out for the pixels inside it.

// The embers' contrast and brightness as a function of the unpremultiplied value u: zero up to
// u0, full from u1.
float emberToneScalar(float u) {
    return filters::decodeSRGBFast(float(kToneEmbers.contrast) * filters::encodeSRGBFast(u) + kToneEmbers.bias());
}

// The last float of [lo, hi] for which pred holds, pred monotone (true then false).
template <typename Pred>
float lastWhere(float lo, float hi, Pred pred) {
    while (std::nextafter(lo, hi) < hi) {
        const float m = 0.5f * (lo + hi);
        if (m <= lo || m >= hi) break;
        (pred(m) ? lo : hi) = m;
    }
    return pred(hi) ? hi : lo;
}


const flamek::EmberTone& emberTone() {
    static const flamek::EmberTone tone = [] {
        flamek::EmberTone t{};
        t.top = filters::decodeSRGBFast(1.0f);
        t.u0 = lastWhere(0.0f, 1.0f, [](float u) { return emberToneScalar(u) <= 0.0f; });
        t.u1 = std::nextafter(lastWhere(0.0f, 1.0f, [&](float u) { return emberToneScalar(u) < t.top; }), 2.0f);
        t.tone = {float(kToneEmbers.contrast), kToneEmbers.bias()};
        return t;
    }();
    return tone;
}

class EmberNode final : public engine::Node {
public:
    static constexpr int kR = 5;  // the blur's reach: ceil(3 σ)
    // `noise`: the noise rows kept across frames (see keptNoise), or null.
    EmberNode(const Rect& E, engine::Point off, std::shared_ptr<const MaskWeights> fade, std::shared_ptr<const BlurredRows> noise)
        : E_(E), eb_(engine::pixelBounds(E)), fade_(std::move(fade)), noise_(std::move(noise)) {
        const double fx = std::floor(-off.x), fy = std::floor(-off.y);
        qx_ = int(fx), qy_ = int(fy);
        wx_ = float(-off.x - fx), wy_ = float(-off.y - fy);
        double sum = 0;
        for (int i = 0; i <= kR; ++i) {
            const double g = std::exp(-0.5 * i * i / (1.4 * 1.4));
            w_[i] = float(g);
            sum += i == 0 ? g : 2 * g;
        }
        for (float& g : w_) g = float(g / sum);
        const Color c1 = Color::fromSRGB(1.0, 0.75, 0.25, 1.0);
        for (int c = 0; c < 3; ++c) {
            const float lin = c == 0 ? c1.r : c == 1 ? c1.g : c1.b;
            ember_[c] = filters::decodeSRGBFast(filters::encodeSRGBFast(lin / c1.a) * std::clamp(c1.a, 0.0f, 1.0f));
        }
        ember_[3] = 1.0f;
    }
    Rect extent() const override { return E_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect fb = r.intersected(eb_).intersected(fade_->bounds);
        // The rows below write every pixel of fb.
        if (!(fb == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (fb.isEmpty()) return;
        // The toned rows over the tile grown by the blur's reach, zero outside E, one plane a
        // channel; a ring of the rows the vertical blur reads.
        const engine::IRect sr = fb.grown(kR, kR);
        const engine::IRect in = sr.intersected(eb_);
        constexpr int kRing = 2 * kR + 1;
        // Planes padded to sixteen floats, and room past the last one: the horizontal pass reads
        // up to a register's width beyond a row's end (lanes it computes and does not store).
        constexpr size_t kPad = 64;
        const size_t sw = (size_t(sr.w) + 15) & ~size_t(15), rowFloats = sw * 4;
        float* T = ctx.alloc(rowFloats * kRing + kPad);
        std::memset(T, 0, (rowFloats * kRing + kPad) * sizeof(float));
        auto slot = [&](int y) { return T + size_t(((y % kRing) + kRing) % kRing) * rowFloats; };
        float* n0 = ctx.alloc(size_t(in.w + 1) * 4);
        float* h0 = ctx.alloc(size_t(in.w) * 4);
        float* h1 = ctx.alloc(size_t(in.w) * 4);
        auto moveRow = [&](int ny, float* hbuf) {  // noise row ny, mixed sideways
            const float* src = keptRow(ny, in.x + qx_, in.w + 1);
            if (!src) {
                engine::kernels::noiseRow(in.x + qx_, ny, in.w + 1, n0);
                src = n0;
            }
            engine::kernels::mixRows(src, src + 4, size_t(in.w) * 4, wx_, hbuf);
        };
        float* V = ctx.alloc(rowFloats + kPad);
        std::memset(V, 0, (rowFloats + kPad) * sizeof(float));
        if (in.h > 0) moveRow(in.y + qy_, h0);
        const float* rows[kRing];
        for (int yy = sr.y; yy < sr.maxY(); ++yy) {
            float* t = slot(yy);
            if (yy < in.y || yy >= in.maxY()) {
                std::memset(t, 0, rowFloats * sizeof(float));
            } else {
                moveRow(yy + qy_ + 1, h1);
                flamek::emberToneRow(h0, h1, wy_, in.w, emberTone(), t + size_t(in.x - sr.x), sw);
                std::swap(h0, h1);
            }
            const int y = yy - kR;  // the output row whose vertical reach is now complete
            if (y < fb.y) continue;
            // Down the columns, then along the row with the false colour and the fade.
            for (int k = 0; k < kRing; ++k) rows[k] = slot(y - kR + k);
            flamek::emberBlurDown(rows, w_, kR, rowFloats, V);
            const float k = fade_->k[size_t(y - fade_->bounds.y)];
            flamek::emberColourRow(V, sw, w_, kR, fb.w, ember_, k, out + (size_t(y - r.y) * r.w + (fb.x - r.x)) * 4);
        }
    }


private:
    // Noise row y from column x on (w pixels) when the kept rows hold it.
    const float* keptRow(int y, int x, int w) const {
        const BlurredRows* g = noise_.get();
        if (!g || y < g->y0 || y >= g->y0 + g->n || x < g->x0 || x + w > g->x0 + g->w) return nullptr;
        return g->row(y) + size_t(x - g->x0) * 4;
    }

    Rect E_;
    engine::IRect eb_;
    std::shared_ptr<const MaskWeights> fade_;
    std::shared_ptr<const BlurredRows> noise_;
    int qx_, qy_;
    float wx_, wy_;
    float w_[kR + 1];
    float ember_[4];
};

}  // namespace

namespace flame {

double flicker(double t) { return std::sin(9 * t) * 0.02 + std::sin(23 * t + 1.7) * 0.015 - 0.01; }

double octaveOffset(double speed, double phase, double t) { return std::fmod(speed * t, 10000.0) + phase; }

engine::Point emberOffset(double width, double t) {
    return {width * std::sin(1.3 * t) * 0.02, std::fmod(130 * t, 10000.0)};
}

Image grade(const Image& image, double t) {
    Image g = filters::colorControls(image, 1.1, flicker(t), 1.05);
    return filters::colorMatrixWithBias(g, {1.1, 0, 0, 0}, {0, 0.96, 0, 0}, {0, 0, 0.75, 0}, {0, 0, 0, 1}, {0, 0, 0, 0});
}

namespace {

// The octave's coarse noise moved up by its offset, blurred and cropped.
Image octave(const Rect& E, const OctaveSpec& o, double t) {
    return octaveNoise(o.factor).translated(0, octaveOffset(o.speed, o.phase, t)).gaussianBlur(o.sigma).cropped(E);
}

const Color kWhite0 = Color::fromSRGB(1, 1, 1, 0);

Image heightMask(const Rect& E) {
    const double mx = E.x + E.w / 2;
    Image m = filters::linearGradient({mx, E.y}, {mx, E.y + 0.4 * E.h}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    return m.isNull() ? Image::empty() : m.cropped(E);
}

Image spreadMask(const Rect& E) {
    Image m = filters::radialGradient({E.x + E.w / 2, E.y}, 0.35 * E.w, 0.85 * E.w, Color::fromSRGB(1, 1, 1, 1),
                                      Color::fromSRGB(1, 1, 1, 0.15));
    return m.isNull() ? Image::empty() : m.cropped(E);
}

}  // namespace

Image fireMask(const Rect& E) {
    // The product of the two masks, component by component: the height mask (white) masked by
    // the spread mask (white) is white at the product of their alphas.
    return filters::blendWithMask(heightMask(E), Image::empty(), spreadMask(E));
}

namespace {
Image cachedFireMask(Caches& c, const Rect& E, const Rect& band) {
    if (c.mask.isNull() || !(c.maskKey == E) || !(c.maskBand == band)) {
        c.maskKey = E;
        c.maskBand = band;
        c.mask = materialize(fireMask(E).cropped(band));
    }
    return c.mask;
}

std::shared_ptr<const MaskWeights> cachedFadeWeights(Caches& c, const Image& fade, const Rect& E) {
    if (!c.fade || !(c.fadeKey == E)) {
        c.fadeKey = E;
        c.fade = rowWeightsOf(fade, E);
    }
    return c.fade;
}
}  // namespace

Image fireLayer(const Rect& E, double t) { return fireLayer(E, t, E); }

Image fireLayer(const Rect& E, double t, const Rect& band) {
    Caches caches;
    return fireLayer(E, t, band, caches);
}

Image fireLayer(const Rect& E, double t, const Rect& band, Caches& caches) {
    if (filters::randomNoise().isNull()) return Image::empty();
    // The region of S the band reads (the displacement's reach and the bilinear footprint).
    const Rect wide = band.insetBy(-16, -16).intersected(E);
    // The octaves' blurred rows are kept across frames (they only scroll).
    const bool kept = !(band == E) && !straightforwardChains() && !E.isInfinite();
    const auto octaveOf = [&](int slot, const Rect& region, const OctaveSpec& o) {
        return kept ? cachedOctave(caches, slot, E, region, octaveOffset(o.speed, o.phase, t), o) : octave(E, o, t);
    };
    const Image A = octaveOf(0, wide, kOctaveA), B = octaveOf(1, wide, kOctaveB), C = octaveOf(2, band, kOctaveC);
    const Image Bp = filters::colorControls(B, 1.0, kToneB.brightness, kToneB.contrast);
    const Image Ap = filters::colorControls(A, 1.0, kToneA.brightness, kToneA.contrast);
    Image S = filters::screenBlend(Bp, Ap);
    if (!(band == E)) {
        // Only `band` of the fire is wanted. The displacement reads S up to 14 px (plus the
        // bilinear footprint) around each pixel, and every output tile would evaluate that margin
        // again: evaluate S once over the band and its margin.
        S = materializeInBands(S.cropped(wide));
    }
    // C is read without a margin, but its blur has one: evaluated per frame tile, that margin
    // would be blurred again for every tile.
    const Image Cb = band == E ? C : materializeInBands(C.cropped(band));
    const Image D = filters::displacementDistortion(S, Cb, 28).cropped(E);
    Image core = filters::colorControls(D, 1.0, kToneCore.brightness, kToneCore.contrast);
    core = filters::falseColor(core, Color::fromSRGB(0.02, 0, 0, 0), Color::fromSRGB(1.0, 0.85, 0.45, 1.0));
    const Image outer = filters::falseColor(D, Color::fromSRGB(0.05, 0, 0, 0), Color::fromSRGB(0.9, 0.3, 0.03, 1.0));
    const Image F = filters::screenBlend(core, outer);
    // The mask is the product of the height and spread masks: masking by one and then the other
    // applies exactly that product.
    if (!(band == E) && !straightforwardChains()) return filters::blendWithMask(F, Image::empty(), cachedFireMask(caches, E, band));
    return filters::blendWithMask(filters::blendWithMask(F, Image::empty(), heightMask(E)), Image::empty(),
                                  spreadMask(E));
}

Image emberLayer(const Rect& E, double t) {
    Caches caches;
    return emberLayer(E, t, caches);
}

Image emberLayer(const Rect& E, double t, Caches& caches) {
    if (filters::randomNoise().isNull()) return Image::empty();
    const engine::Point off = emberOffset(E.w, t);
    Image specks = filters::randomNoise().translated(off.x, off.y).cropped(E);
    specks = filters::colorControls(specks, 1.0, kToneEmbers.brightness, kToneEmbers.contrast);
    specks = specks.gaussianBlur(1.4).cropped(E);
    specks = filters::falseColor(specks, Color::fromSRGB(0, 0, 0, 0), Color::fromSRGB(1.0, 0.75, 0.25, 1.0));
    const double mx = E.x + E.w / 2;
    Image fade = filters::linearGradient({mx, E.y}, {mx, E.maxY()}, Color::fromSRGB(1, 1, 1, 0.6), kWhite0);
    fade = fade.isNull() ? Image::empty() : fade.cropped(E);
    if (!straightforwardChains() && !fade.isNull() && !E.isInfinite() && !E.isEmpty())
        return Image(std::make_shared<EmberNode>(E, off, cachedFadeWeights(caches, fade, E),
                                                 keptNoise(caches, engine::pixelBounds(E), E.w, int(std::floor(-off.y)))));
    return filters::blendWithMask(specks, Image::empty(), fade);
}

}  // namespace flame

Flame::Flame() = default;
Flame::~Flame() = default;

void Flame::suspend() { caches_.reset(); }

flame::Caches& Flame::caches() {
    if (!caches_) caches_ = std::make_unique<flame::Caches>();
    return *caches_;
}

Image Flame::render(const Image& image, const FrameContext& frame) {
    const double t = frame.t;
    flame::Caches& kept = caches();
    const Rect E = image.extent();
    // The fire's mask is zero from 40 % of the height up, so only that bottom band is evaluated.
    const Rect band{E.x, E.y, E.w, 0.4 * E.h};
    const Image fire = straightforwardChains() ? flame::fireLayer(E, t) : flame::fireLayer(E, t, band, kept).cropped(band);
    const Image embers = flame::emberLayer(E, t, kept);
    Image out = filters::screenBlend(fire, flame::grade(image, t));
    out = filters::screenBlend(embers, out);
    return out.cropped(E);
}

}  // namespace ostrela::effects