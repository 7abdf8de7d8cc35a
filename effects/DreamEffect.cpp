#include "effects/DreamEffect.h"

#include "effects/DreamHalo.h"
#include "effects/DreamHaloKernels.h"
#include "effects/DreamWarpKernels.h"
#include "pipeline/engine/Schedule.h"
#include "effects/Kernels.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
using engine::materialize;
using engine::balancedTileRows;
using engine::TileWatcher;
using engine::materializeWatched;
using engine::PixelView;
using engine::pixelsOf;
using engine::straightforwardChains;
using engine::resampled;
namespace filters = engine::filters;

namespace dream {

const std::array<Orb, 10>& orbs() {
    static const std::array<Orb, 10> table{{
        {0.09, 0.07, 0.0, 0.11, 1.0, 0.92, 0.85, 0.34},
        {0.06, 0.1, 2.4, 0.09, 0.85, 0.88, 1.0, 0.3},
        {0.11, 0.05, 4.8, 0.07, 1.0, 0.8, 0.95, 0.32},
        {0.08, 0.12, 1.5, 0.06, 0.85, 1.0, 0.95, 0.26},
        {0.13, 0.08, 3.6, 0.045, 1.0, 0.95, 0.7, 0.28},
        {0.07, 0.14, 0.9, 0.08, 0.95, 0.85, 1.0, 0.28},
        {0.14, 0.06, 5.6, 0.055, 0.8, 0.95, 1.0, 0.26},
        {0.05, 0.09, 3.1, 0.1, 1.0, 0.9, 0.8, 0.3},
        {0.1, 0.13, 6.3, 0.04, 0.9, 1.0, 0.88, 0.24},
        {0.12, 0.04, 1.9, 0.065, 1.0, 0.88, 0.98, 0.27},
    }};
    return table;
}

double hueAngle(double t) { return std::sin(0.12 * t) * 0.9599310885968813; }
double fringeOffset(double t) { return std::sin(0.9 * t) + 2.0; }
double burstPulse(double t) { return std::sin(0.22 * t) * 0.4 + 0.6; }
double burstScale(int k, double t) { return 1 + k * 0.075 * burstPulse(t); }

Drift drift(double t) {
    return {std::sin(0.15 * t) * 4, std::cos(0.12 * t) * 3, 1.045 + std::sin(0.2 * t) * 0.015,
            std::sin(0.08 * t) * 0.010471975511965976};
}

engine::Affine driftTransform(double t, double midX, double midY) {
    const Drift d = drift(t);
    const double c = std::cos(d.angle), s = std::sin(d.angle);
    // Appended in order: translate(mid), rotate, scale, translate(−mid), translate(d); the last
    // appended acts first on a point.
    return engine::Affine::translation(d.dx - midX, d.dy - midY)
        .then(engine::Affine::scale(d.zoom, d.zoom))
        .then(engine::Affine{c, s, -s, c, 0, 0})
        .then(engine::Affine::translation(midX, midY));
}

engine::Point orbCentre(int i, const Rect& E, double t) {
    const Orb& o = orbs()[size_t(i)];
    return {E.x + E.w / 2 + std::sin(o.sx * t + o.ph) * E.w * 0.32, E.y + E.h / 2 + std::cos(o.sy * t + o.ph) * E.h * 0.28};
}

namespace {
struct Sparkle {
    double cx, cy, r, alpha;  // in the bitmap: x right, y down
};
std::vector<Sparkle> sparkleCircles(double W, double H, double t) {
    std::vector<Sparkle> out;
    for (int i = 0; i < 14; ++i) {
        const double x = i * 47.3;
        const double b = std::sin(t + x) * 0.5 + 0.5;
        if (!(b > 0.35)) continue;
        const double d = std::sin(3.1 * x) * 1.5 + 2.5;
        const double cx = (std::sin(x) * 0.5 + 0.5) * W, cy = (std::cos(1.7 * x) * 0.5 + 0.5) * H;
        out.push_back({cx, H - cy, d / 2, (b - 0.35) / 0.65 * 0.55});  // y up in the frame, y down in the bitmap
    }
    return out;
}
}  // namespace

std::vector<SparkleSquare> sparkles(int wp, int hp, double t) {
    std::vector<SparkleSquare> out;
    for (const Sparkle& s : sparkleCircles(std::max(wp, 1), std::max(hp, 1), t)) {
        // Two pixels spare about the disc for the antialiased edge.
        const int x0 = int(std::floor(s.cx - s.r)) - 2, y0 = int(std::floor(s.cy - s.r)) - 2;
        const int side = int(std::ceil(2 * s.r)) + 5;
        QImage square(side, side, QImage::Format_ARGB32_Premultiplied);
        if (square.isNull()) continue;
        square.fill(Qt::transparent);
        QPainter p(&square);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgbF(1.0f, 0.98f, 0.9f, float(s.alpha)));
        p.drawEllipse(QPointF(s.cx - x0, s.cy - y0), s.r, s.r);
        p.end();
        out.push_back({std::move(square), x0, y0});
    }
    return out;
}

namespace {
Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}

thread_local bool gCopyByCopy = false;

// Step 9 from C′'s pixels: C′ and nine copies scaled about the centre, each at 24 %, screened
// one after another. Scaling about a point is axis-aligned, so each copy's columns and rows are
// found once per tile and once per row.
class BurstNode final : public engine::Node {
public:
    // With `layerOnly` the copies are screened over transparency: the burst's own layer, without C′ under it.
    BurstNode(Image c, PixelView v, std::array<double, 9> scales, double cx, double cy, const Rect& extent, bool layerOnly)
        : c_(std::move(c)), v_(v), scales_(scales), cx_(cx), cy_(cy), extent_(extent), layerOnly_(layerOnly),
          copyByCopy_(gCopyByCopy) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect b = v_.bounds;
        // Every tile of a pass spans the same columns: their taps are found once.
        std::call_once(columnsOnce_, [&] {
            columns_.x = r.x, columns_.w = r.w;
            columns_.col.resize(size_t(r.w) * 9);
            columns_.colw.resize(size_t(r.w) * 9);
            findColumns(r, columns_.col.data(), columns_.colw.data());
        });
        const int* col = columns_.col.data();
        const float* colw = columns_.colw.data();
        if (columns_.x != r.x || columns_.w != r.w) {
            int* c = reinterpret_cast<int*>(ctx.alloc(size_t(r.w) * 9));
            float* w = ctx.alloc(size_t(r.w) * 9);
            findColumns(r, c, w);
            col = c, colw = w;
        }
        int lo[9], hi[9];
        for (int k = 0; k < 9; ++k) {
            const int* cx = col + size_t(k) * r.w;
            // Columns are increasing in i: the run whose taps all lie inside is one interval.
            lo[k] = 0, hi[k] = r.w;
            while (lo[k] < r.w && cx[lo[k]] < 0) ++lo[k];
            while (hi[k] > lo[k] && cx[hi[k] - 1] + 1 >= b.w) --hi[k];
        }
        // Where every copy's taps lie inside, all nine are done together, a register of pixels at
        // a time (the grouping needs magnified copies).
        const int lanes = kernels::burstLanes();
        int fl0 = *std::max_element(lo, lo + 9);
        if (!(scales_[0] > 1.0) || copyByCopy_) fl0 = r.w;
        const int groups = fl0 < r.w ? std::max(0, *std::min_element(hi, hi + 9) - fl0) / lanes : 0;
        const int fl1 = fl0 + lanes * groups;
        kernels::BurstTables gt{};
        if (groups > 0) gt = groupTables(ctx, col, colw, r.w, fl0, groups, lanes);
        float* planes = groups > 0 ? planeBuffer(ctx) : nullptr;
        std::vector<kernels::BurstRow> rows(size_t(groups > 0 ? r.h : 0));
        int nTogether = 0;
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            const float* r0[9];
            const float* r1[9];
            float wy[9];
            bool allRows = true;
            for (int k = 0; k < 9; ++k) {
                const double f = cy_ + (y + 0.5 - cy_) / scales_[size_t(k)] - 0.5;
                const double fl = std::floor(f);
                const int y0 = int(fl) - b.y;
                wy[k] = float(f - fl);
                const bool in = y0 >= 0 && y0 + 1 < b.h;
                r0[k] = in ? v_.data + size_t(y0) * b.w * 4 : nullptr;
                r1[k] = in ? r0[k] + size_t(b.w) * 4 : nullptr;
                allRows = allRows && in;
            }
            const bool together = fl1 > fl0 && allRows;
            // C′ under the copies: read in place where the row lies inside, else copied in first.
            const float* crow = !layerOnly_ && y >= b.y && y < b.maxY() && r.x >= b.x && r.maxX() <= b.maxX() ? v_.at(r.x, y) : nullptr;
            auto base = [&](int i0, int i1) {
                if (layerOnly_) {
                    std::fill(o + 4 * i0, o + 4 * i1, 0.0f);
                    return;
                }
                if (crow) {
                    if (i1 > i0) std::memcpy(o + 4 * i0, crow + 4 * i0, size_t(i1 - i0) * 4 * sizeof(float));
                    return;
                }
                for (int i = i0; i < i1; ++i) {
                    const float* c0 = v_.at(r.x + i, y);
                    if (c0) std::memcpy(o + 4 * i, c0, 4 * sizeof(float));
                    else std::fill(o + 4 * i, o + 4 * i + 4, 0.0f);
                }
            };
            if (together && crow) {
                base(0, fl0);
                base(fl1, r.w);
            } else {
                base(0, r.w);
            }
            if (together) {
                kernels::BurstRow& rt = rows[size_t(nTogether++)];
                rt.o = o + 4 * fl0;
                rt.under = crow ? crow + 4 * fl0 : rt.o;
                for (int k = 0; k < 9; ++k) {
                    rt.r0[k] = r0[k];
                    rt.r1[k] = r1[k];
                    rt.wy[k] = wy[k];
                    rt.next[k] = r1[k] + 4 * size_t(b.w) <= v_.data + 4 * size_t(b.w) * (b.h - 1) ? r1[k] + 4 * size_t(b.w) : r1[k];
                }
            }
            // Copy by copy everywhere else.
            for (int k = 0; k < 9; ++k) {
                const int* cx = col + size_t(k) * r.w;
                const float* cw = colw + size_t(k) * r.w;
                const int klo = r0[k] ? lo[k] : 0, khi = r0[k] ? hi[k] : 0;
                // Pixels whose taps lie inside go through the kernel, the others one by one.
                auto outside = [&](int i0, int i1) {
                    for (int i = i0; i < i1; ++i) {
                        if (i >= klo && i < khi) continue;
                        float s[4];
                        engine::detail::sampleBilinear(v_.data, b, cx_ + (r.x + i + 0.5 - cx_) / scales_[size_t(k)],
                                                       cy_ + (y + 0.5 - cy_) / scales_[size_t(k)], s);
                        float* p = o + 4 * i;
                        for (int c = 0; c < 4; ++c) {
                            const float sv = s[c] * 0.24f;
                            p[c] = (sv + p[c]) - sv * p[c];
                        }
                    }
                };
                auto span = [&](int i0, int i1) {
                    outside(i0, i1);
                    const int a0 = std::max(i0, klo), a1 = std::min(i1, khi);
                    if (a1 > a0) kernels::screenCopyRow(r0[k], r1[k], cx, cw, wy[k], a0, a1, o);
                };
                if (together) {
                    span(0, fl0);
                    span(fl1, r.w);
                } else {
                    span(0, r.w);
                }
            }
        }
        // The rows done together go in strips of columns, every row of the tile per strip, so the
        // source rows the nine copies read stay in cache from one output row to the next.
        const int chunk = std::max(1, kernels::kBurstChunk / lanes);
        for (int g0 = 0; g0 < groups; g0 += chunk) {
            const int g1 = std::min(groups, g0 + chunk);
            for (int j = 0; j < nTogether; ++j) {
                const kernels::BurstRow& rt = rows[size_t(j)];
                const kernels::BurstRow& after = j + 1 < nTogether ? rows[size_t(j) + 1] : rows[0];
                const int ga = j + 1 < nTogether ? g0 : g1;
                const size_t at = size_t(4) * lanes * ga;
                const kernels::BurstAhead ahead{after.under + at, after.o + at, std::min(groups, ga + chunk) - ga};
                kernels::burstGroups(rt, gt, g0, g1, planes, ahead);
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    // Per copy and output column of r: the left tap's column in C′ and its weight.
    void findColumns(const engine::IRect& r, int* col, float* colw) const {
        for (int k = 0; k < 9; ++k)
            for (int i = 0; i < r.w; ++i) {
                const double f = cx_ + (r.x + i + 0.5 - cx_) / scales_[size_t(k)] - 0.5;
                const double fl = std::floor(f);
                col[size_t(k) * r.w + i] = int(fl) - v_.bounds.x;
                colw[size_t(k) * r.w + i] = float(f - fl);
            }
    }
    struct Columns {
        int x = 0, w = -1;
        std::vector<int> col;
        std::vector<float> colw;
    };
    mutable std::once_flag columnsOnce_;
    mutable Columns columns_;

    static float* planeBuffer(engine::TileContext& ctx) {
        constexpr size_t n = size_t(kernels::kBurstPlane) * 4 * 9;
        float* b = ctx.alloc(n + 16);
        b = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(b) + 63) & ~uintptr_t(63));
        std::fill(b, b + n, 0.0f);  // the taps' loads reach past a chunk's last column
        return b;
    }
    static kernels::BurstTables groupTables(engine::TileContext& ctx, const int* col, const float* colw, int n, int i0,
                                            int groups, int lanes) {
        int* base = reinterpret_cast<int*>(ctx.alloc(size_t(groups) * 9));
        uint8_t* idx = reinterpret_cast<uint8_t*>(ctx.alloc((size_t(groups) * 9 * lanes + 3) / 4));
        float* w = ctx.alloc(size_t(groups) * 9 * lanes);
        for (int g = 0; g < groups; ++g)
            for (int k = 0; k < 9; ++k) {
                const int* cx = col + size_t(k) * n + i0 + lanes * g;
                const float* cw = colw + size_t(k) * n + i0 + lanes * g;
                const size_t q = size_t(g) * 9 + k;
                base[q] = cx[0];
                for (int j = 0; j < lanes; ++j) {
                    idx[q * lanes + j] = uint8_t(cx[j] - cx[0]);  // at most j: magnified copies step by 0 or 1
                    w[q * lanes + j] = cw[j];
                }
            }
        return {base, idx, w};
    }

    Image c_;
    PixelView v_;
    std::array<double, 9> scales_;
    double cx_, cy_;
    Rect extent_;
    bool layerOnly_;
    bool copyByCopy_;  // read when built: tiles render on other threads
};

// The burst's layer S, made on the half grid, expanded and screened over C′: S + C′ − S·C′.
class BurstOverNode final : public engine::Node {
public:
    BurstOverNode(Image c, PixelView cv, Image layer, PixelView lv, const Rect& extent)
        : c_(std::move(c)), cv_(cv), layer_(std::move(layer)), lv_(lv), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect& lb = lv_.bounds;
        const engine::detail::GridExpansion expand(ctx, 2, lb.x, lb.w, r.x, r.w);
        const engine::IRect& cb = cv_.bounds;
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            const double f = (y + 0.5) / 2 - 0.5, fl = std::floor(f);
            const int v0 = std::clamp(int(fl) - lb.y, 0, lb.h - 2);
            const float* l0 = lv_.data + size_t(v0) * lb.w * 4;
            expand.row(l0, l0 + size_t(lb.w) * 4, float(f - fl), o);
            const bool whole = y >= cb.y && y < cb.maxY() && r.x >= cb.x && r.maxX() <= cb.maxX();
            const float* c = whole ? cv_.at(r.x, y) : nullptr;
            for (int i = c ? kernels::screenRow(o, c, r.w, 1.0f) * 4 : 0; i < r.w * 4; ++i) {
                const float* q = c ? c + i : cv_.at(r.x + i / 4, y);
                const float a = o[i], b = q ? (c ? *q : q[i % 4]) : 0.0f;
                o[i] = (a + b) - a * b;
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    Image c_;
    PixelView cv_;
    Image layer_;
    PixelView lv_;
    Rect extent_;
};

Image scaledAbout(const Image& in, double s, double cx, double cy) {
    return in.transformed(engine::Affine::translation(-cx, -cy)
                              .then(engine::Affine::scale(s, s))
                              .then(engine::Affine::translation(cx, cy)));
}
}  // namespace

void setBurstCopyByCopyForTesting(bool on) { gCopyByCopy = on; }

}  // namespace dream

void DreamSequence::suspend() {
    if (echo_.isNull()) return;
    shelved_ = engine::ShelvedPicture(echo_);
    echo_ = Image();
}

size_t DreamSequence::echoBytes() const {
    const PixelView v = pixelsOf(echo_);
    return shelved_.bytes() + (v ? size_t(v.bounds.w) * v.bounds.h * 4 * sizeof(float) : 0);
}

Image DreamSequence::render(const Image& image, const FrameContext& frame) {
    using namespace dream;
    const double t = frame.t;
    if (!shelved_.isNull()) {
        echo_ = shelved_.restore();
        shelved_ = engine::ShelvedPicture();
    }
    const Rect E = image.extent();
    const double W = E.w, H = E.h, midX = E.x + W / 2, midY = E.y + H / 2;

    // 1. Ripple. Both sines of the kernel repeat every 20π seconds, so the time is handed over
    // reduced by that period: single precision cannot hold seconds since 2001 finely enough to
    // animate (it steps by a minute), while the reduced value gives the same formula exactly.
    Image picture = image;
    {
        const float time = float(std::fmod(t, 20 * M_PI));
        const Image rippled = applyWarp(image, std::make_shared<DreamRippleKernel>(9.0f, time));
        if (!rippled.isNull()) picture = rippled.cropped(E);
    }

    // 2–4. Grade, gamma, hue drift.
    Image G = filters::colorControls(picture, 0.92, 0.015, 0.88);
    G = filters::hueAdjust(filters::gammaAdjust(G, 0.9), hueAngle(t));
    // G is read by the glow's blur and as its background: evaluate it once. Each tile decodes
    // the camera rows the ripple reaches beyond it too: 90-row tiles (eight for 720 rows) keep
    // that extra a fifth of the frame.
    const int gRows = balancedTileRows(engine::pixelBounds(G.extent()).h, 90);
    GridGatherer gather(engine::pixelBounds(G.extent()), glowGrid(E), gRows, false);
    G = gather.active() && !G.isNull() ? materializeWatched(G, gRows, gather.watcher()) : materialize(G, gRows);
    const Image gridOfG = gather.finish(pixelsOf(G));

    // 5–7. Glow, bloom and colour fringe.
    const bool fast = !straightforwardChains();
    const double o = fringeOffset(t);
    Image Cp;
    // The burst is a soft layer made on the half grid: it reads C′ reduced 2×2, gathered as C′'s
    // tiles are made where they pair up.
    const engine::IRect eb = engine::pixelBounds(E);
    // Every cell holding a pixel of the picture, those on its edges half transparent.
    const engine::IRect cpGrid =
        !fast || eb.isEmpty() ? engine::IRect{}
                              : engine::IRect{int(std::floor(eb.x / 2.0)), int(std::floor(eb.y / 2.0)),
                                              int(std::ceil(eb.maxX() / 2.0)) - int(std::floor(eb.x / 2.0)),
                                              int(std::ceil(eb.maxY() / 2.0)) - int(std::floor(eb.y / 2.0))};
    GridGatherer gatherCp(eb, cpGrid, balancedTileRows(eb.h, 64), false);
    const TileWatcher toGrid = gatherCp.active() ? gatherCp.watcher() : TileWatcher();
    Image C = fast ? glowBloomFringe(G, o, E, echo_, Cp, gridOfG, gatherCp.active() ? &toGrid : nullptr) : Image();
    if (C.isNull()) {
        Image glow = G.gaussianBlur(5.5).cropped(E);
        glow = filters::colorControls(glow, 1.0, 0.06, 1.0);
        const Image x = materialize(alphaScaled(glow, 0.32).composited(G).cropped(E));
        const Image B = materialize(filters::bloom(x, 6.0, 0.45).cropped(E));
        Image red = filters::colorMatrixWithBias(B, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 0})
                        .translated(o, 0);
        Image blue = filters::colorMatrixWithBias(B, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {0, 0, 0, 0})
                         .translated(-o, 0);
        C = materialize(filters::screenBlend(filters::screenBlend(red, blue), B).cropped(E));
    }

    // 8. Echo of the previous frame (made beside C above where it could be), then remember this
    // one (without its echo).
    // C′'s grid was gathered only if C′ came out of the paired pass.
    const bool gathered = !Cp.isNull() && gatherCp.active();
    if (Cp.isNull()) Cp = echo_.isNull() ? C : materialize(alphaScaled(echo_, 0.16).composited(C).cropped(E));
    echo_ = C;

    // 9. Zoom burst.
    Image acc = Cp;
    const PixelView cv = pixelsOf(Cp);
    Image gridOfCp;
    if (cv && fast && cv.bounds == eb) gridOfCp = gathered ? gatherCp.finish(cv) : reducedGrid(Cp, cpGrid, false);
    const PixelView gv = pixelsOf(gridOfCp);
    // The drift magnifies, so it reads only the middle of the burst: the burst is made over that
    // part alone, with two pixels to spare for the sampler's taps.
    const engine::IRect rb =
        eb.isEmpty() ? engine::IRect{}
                     : engine::enclosingIRect(driftTransform(t, midX, midY).inverted().mapRect(E).insetBy(-2, -2)).intersected(eb);
    const engine::IRect layerGrid = rb.isEmpty() ? engine::IRect{} : expansionGrid(rb);
    if (gv && layerGrid.w >= 2 && layerGrid.h >= 2) {
        std::array<double, 9> scales;
        for (int k = 1; k <= 9; ++k) scales[size_t(k - 1)] = burstScale(k, t);
        // On the grid, pixel x lies at x / 2: scaling about the middle is scaling about its half.
        const Rect lg{double(layerGrid.x), double(layerGrid.y), double(layerGrid.w), double(layerGrid.h)};
        const Image layer = materialize(Image(std::make_shared<BurstNode>(gridOfCp, gv, scales, midX / 2, midY / 2, lg, true)));
        const Rect reach = Rect{double(rb.x), double(rb.y), double(rb.w), double(rb.h)}.intersected(E);
        acc = materialize(Image(std::make_shared<BurstOverNode>(Cp, cv, layer, pixelsOf(layer), reach)));
    } else {
        for (int k = 1; k <= 9; ++k) {
            Image copy = alphaScaled(scaledAbout(Cp, burstScale(k, t), midX, midY).cropped(E), 0.24);
            acc = filters::screenBlend(copy, acc).cropped(E);
        }
    }

    // 10. Drift.
    acc = resampled(acc, driftTransform(t, midX, midY), E);

    // 11. Orbs. Beyond its outer radius an orb is fully transparent and screening it changes
    // nothing, so each is evaluated over its bounding square only.
    // 12. Warm centre light.
    const engine::Point warm{midX + std::sin(0.1 * t) * 24, midY + std::cos(0.09 * t) * 18};
    const Color warmInner = Color::fromSRGB(1.0, 0.97, 0.9, 0.09), warmOuter = Color::fromSRGB(1.0, 0.97, 0.9, 0);
    for (int i = 0; i < 10; ++i) {
        const Orb& orb = orbs()[size_t(i)];
        const engine::Point c = orbCentre(i, E, t);
        const double r1 = orb.size * W;
        Image g = filters::radialGradient(c, 0.2 * r1, r1, Color::fromSRGB(orb.r, orb.g, orb.b, orb.a),
                                          Color::fromSRGB(orb.r, orb.g, orb.b, 0));
        if (g.isNull()) continue;
        g = g.cropped(E).cropped({c.x - r1 - 1, c.y - r1 - 1, 2 * r1 + 2, 2 * r1 + 2});
        acc = filters::screenBlend(g, acc).cropped(E);
    }
    Image g = filters::radialGradient(warm, 0.1 * W, 0.75 * W, warmInner, warmOuter);
    if (!g.isNull()) acc = filters::screenBlend(g.cropped(E), acc).cropped(E);

    // 13. Vignette.
    acc = filters::vignette(acc, 0.55, 1.9);

    // 14. Sparkles.
    const int wp = std::max(1, int(std::lround(W))), hp = std::max(1, int(std::lround(H)));
    // Each disc is put over the picture on its own square: the rest of the frame has none.
    for (const SparkleSquare& sq : sparkles(wp, hp, t)) {
        // The bitmap's top row lies at the extent's top.
        const double y = E.y + hp - sq.y - sq.image.height();
        acc = Image::fromQImage(sq.image).translated(E.x + sq.x, y).cropped(E).composited(acc);
    }
    return acc.cropped(E);
}

}  // namespace ostrela::effects
