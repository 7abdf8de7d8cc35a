#include "effects/DrunkEffect.h"

#include "effects/DrunkKernels.h"
#include "pipeline/engine/Schedule.h"

#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace ostrela::effects {

using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;
using engine::materialize;
using engine::PixelView;
using engine::pixelsOf;
using engine::straightforwardChains;
using engine::resampled;

// ---- Drunk Mode ----

namespace drunk {

namespace {
Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}
}  // namespace

Image grade(const Image& image) {
    Image g = filters::colorControls(image, 0.75, 0.02, 0.88);
    return filters::colorMatrixWithBias(g, {1.1, 0, 0, 0}, {0, 1.0, 0, 0}, {0, 0, 0.85, 0}, {0, 0, 0, 1},
                                        {0.02, 0.01, -0.02, 0});
}

Shake shake(double t) {
    return {std::sin(9 * t) * 6 + std::sin(13.7 * t) * 4 + 16 * std::sin(0.5 * t),
            std::cos(8.3 * t) * 5 + std::sin(11.1 * t) * 3 + 12 * std::cos(0.6 * t),
            std::sin(0.7 * t) * 0.13962634015954636, 1.14 + std::sin(0.9 * t) * 0.02};
}

double blurSigma(double t) { return (std::sin(0.5 * t) * 0.5 + 0.5) * 3.5 + 0.8; }

engine::Affine shakeTransform(double t, double cx, double cy) {
    const Shake s = shake(t);
    const double c = std::cos(s.angle), n = std::sin(s.angle);
    return engine::Affine::translation(s.dx - cx, s.dy - cy)
        .then(engine::Affine::scale(s.zoom, s.zoom))
        .then(engine::Affine{c, n, -n, c, 0, 0})
        .then(engine::Affine::translation(cx, cy));
}

}  // namespace drunk

namespace {

// The ghost blur's 2× box reduction of the stored graded picture, on the blur's own grid (sample
// u averages pixels 2u and 2u + 1 in each direction), transparent beyond the stored pixels. Blurred
// once per frame on that grid, it gives the same samples the σ 5 blur makes tile by tile, without
// reducing and blurring every tile's margin again.
class GhostGridNode final : public engine::Node {
public:
    GhostGridNode(Image graded, PixelView g) : graded_(std::move(graded)), g_(g) {}
    Rect extent() const override {
        const IRect& b = g_.bounds;
        const int u0 = b.x >> 1, v0 = b.y >> 1, u1 = (b.maxX() + 1) >> 1, v1 = (b.maxY() + 1) >> 1;
        return {double(u0), double(v0), double(u1 - u0), double(v1 - v0)};
    }
    int inputCount() const override { return 0; }
    const engine::Node* input(int) const override { return nullptr; }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect& b = g_.bounds;
        const int x0 = 2 * r.x, x1 = 2 * r.maxX();
        const bool cols = b.x <= x0 && x1 <= b.maxX();
        float* pad[2] = {nullptr, nullptr};
        for (int j = 0; j < r.h; ++j) {
            const float* s[2];
            for (int k = 0; k < 2; ++k) {
                const int y = 2 * (r.y + j) + k;
                const bool row = y >= b.y && y < b.maxY();
                if (row && cols) {
                    s[k] = g_.at(x0, y);
                    continue;
                }
                // Partly outside the stored pixels: the row copied into zeros.
                if (!pad[k]) pad[k] = ctx.alloc(size_t(x1 - x0) * 4);
                std::memset(pad[k], 0, size_t(x1 - x0) * 4 * sizeof(float));
                const int a = std::max(x0, b.x), e = std::min(x1, b.maxX());
                if (row && a < e) std::memcpy(pad[k] + size_t(a - x0) * 4, g_.at(a, y), size_t(e - a) * 4 * sizeof(float));
                s[k] = pad[k];
            }
            engine::kernels::boxRow2(s[0], s[1], r.w, out + size_t(j) * r.w * 4);
        }
    }

private:
    Image graded_;
    PixelView g_;
};

// The σ 5 blur's reduced grid, blurred, over the samples whose expansion covers the ghost's
// source for every pixel of `E` moved by (tx, ty), stored once for the frame. Null where the blur
// does not work on a 2× grid.
Image ghostGrid(const Image& graded, const PixelView& g, double tx, double ty, const Rect& E) {
    constexpr double kSigma = 5.0;
    if (engine::BlurNode::reductionFor(kSigma) != 2) return {};
    const double gs = engine::BlurNode::gridSigma(kSigma, 2);
    if (engine::BlurNode::reductionFor(gs) != 1) return {};
    const IRect px = engine::pixelBounds(E);
    const IRect src{px.x + int(std::floor(-tx)), px.y + int(std::floor(-ty)), px.w + 1, px.h + 1};
    const auto gx = engine::BlurNode::gridRange(src.x, src.maxX(), 2), gy = engine::BlurNode::gridRange(src.y, src.maxY(), 2);
    const Rect L{double(gx.u0), double(gy.u0), double(gx.u1 - gx.u0 + 1), double(gy.u1 - gy.u0 + 1)};
    const auto down = std::make_shared<GhostGridNode>(graded, g);
    return materialize(Image(std::make_shared<engine::BlurNode>(down, gs)).cropped(L));
}

// Steps 3–5 in one pass: the ghost (already blurred, moved and cropped) at 55 % over the graded
// picture, then the trails over that, each read straight from its pixels.
class DrunkAccumulateNode final : public engine::Node {
public:
    struct Trail { Image image; PixelView view; float alpha; };
    DrunkAccumulateNode(Image graded, PixelView g, Image ghost, std::vector<Trail> trails, const Rect& extent)
        : graded_(std::move(graded)), g_(g), ghost_(std::move(ghost)), trails_(std::move(trails)), extent_(extent) {}
    // The ghost given as its blur and a move; the move's bilinear read is done in the pass for
    // tiles inside `crop`, the ghost's crop. The blur is exactly zero beyond its extent, so a move
    // that shifts that extent off an edge needs no other path. `grid`, when stored, is the blur's
    // reduced grid already blurred, which the pass expands itself.
    void setGhostSource(Image blurred, Image grid, double tx, double ty, const Rect& crop) {
        blurred_ = std::move(blurred);
        grid_ = std::move(grid);
        lowView_ = pixelsOf(grid_);
        const double fx = std::floor(-tx), fy = std::floor(-ty);
        qx_ = int(fx), qy_ = int(fy);
        wx_ = float(-tx - fx), wy_ = float(-ty - fy);
        ghostInside_ = crop;
    }
    // Set when the pass is evaluated into a stored picture (not read back within the tile).
    void setStreaming(bool on) { streamOut_ = on; }
    Rect extent() const override { return extent_; }
    int inputCount() const override { return ghost_.isNull() ? 0 : 1; }
    const engine::Node* input(int) const override { return ghost_.node().get(); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        bool inside = g_.bounds.contains(r);
        for (const Trail& tr : trails_) inside = inside && tr.view.bounds.contains(r);
        const Rect rr{double(r.x), double(r.y), double(r.w), double(r.h)};
        const bool direct = !blurred_.isNull() && inside && ghostInside_.intersected(rr) == rr;
        const int n = int(trails_.size());
        float al[3] = {};
        for (int q = 0; q < n; ++q) al[q] = trails_[size_t(q)].alpha;
        auto trailRows = [&](int y, const float** tp) {
            for (int q = 0; q < n; ++q) tp[q] = trails_[size_t(q)].view.at(r.x, y);
        };
        if (direct) {
            // The blur over the tile's source (one more row and column for the bilinear read). The
            // rows go straight to memory when the pass fills a stored picture: it is read back much
            // later, so fetching its lines first would only cost bandwidth.
            const IRect sr{r.x + qx_, r.y + qy_, r.w + 1, r.h + 1};
            const IRect& L = lowView_.bounds;
            const auto gx = engine::BlurNode::gridRange(sr.x, sr.maxX(), 2), gy = engine::BlurNode::gridRange(sr.y, sr.maxY(), 2);
            if (lowView_ && L.w > 1 && L.h > 1 && gx.u0 >= L.x && gx.u1 < L.maxX() && gy.u0 >= L.y && gy.u1 < L.maxY()) {
                // Expanded from the stored grid two rows at a time, as the blur expands it.
                const engine::detail::GridExpansion expand(ctx, 2, L.x, L.w, sr.x, sr.w);
                float* rows[2] = {ctx.alloc(size_t(sr.w) * 4), ctx.alloc(size_t(sr.w) * 4)};
                auto expandRow = [&](int j) {
                    const double f = (sr.y + j + 0.5) / 2 - 0.5, fl = std::floor(f);
                    const float* l0 = lowView_.at(L.x, int(fl));
                    expand.row(l0, l0 + size_t(L.w) * 4, float(f - fl), rows[j & 1]);
                };
                expandRow(0);
                for (int j = 0; j < r.h; ++j) {
                    expandRow(j + 1);
                    const float* tp[3] = {};
                    trailRows(r.y + j, tp);
                    drunk::kernels::accumulateRow(g_.at(r.x, r.y + j), rows[j & 1], rows[(j + 1) & 1], wx_, wy_, tp, al, n,
                                                  streamOut_, r.w, out + size_t(j) * r.w * 4);
                }
            } else {
                const float* B = ctx.pull(*blurred_.node(), sr);
                for (int j = 0; j < r.h; ++j) {
                    const float* tp[3] = {};
                    trailRows(r.y + j, tp);
                    const float* b0 = B + size_t(j) * sr.w * 4;
                    drunk::kernels::accumulateRow(g_.at(r.x, r.y + j), b0, b0 + size_t(sr.w) * 4, wx_, wy_, tp, al, n,
                                                  streamOut_, r.w, out + size_t(j) * r.w * 4);
                }
            }
            if (streamOut_) drunk::kernels::flushStreams();
            engine::detail::clearOutside(out, r, extent_);
            return;
        }
        const float* gh = ghost_.isNull() ? nullptr : ctx.pull(*ghost_.node(), r);
        if (inside) {
            // Every picture covers the tile: plain row pointers.
            for (int j = 0; j < r.h; ++j) {
                const float* tp[3] = {};
                trailRows(r.y + j, tp);
                drunk::kernels::accumulateRow(g_.at(r.x, r.y + j), gh ? gh + size_t(j) * r.w * 4 : nullptr, nullptr, 0, 0, tp, al, n,
                                       false, r.w, out + size_t(j) * r.w * 4);
            }
            engine::detail::clearOutside(out, r, extent_);
            return;
        }
        // Pixel by pixel where a picture misses part of the tile.
        auto over = [](float* acc, const float* f, float k) {
            const float keep = 1.0f - f[3] * k;
            for (int c = 0; c < 4; ++c) acc[c] = acc[c] * keep + f[c] * k;
        };
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            for (int i = 0; i < r.w; ++i) {
                const int x = r.x + i;
                const float* gp = g_.at(x, y);
                float* acc = o + 4 * i;
                for (int c = 0; c < 4; ++c) acc[c] = gp ? gp[c] : 0.0f;
                if (gh) over(acc, gh + (size_t(j) * r.w + i) * 4, 0.55f);
                for (const Trail& tr : trails_)
                    if (const float* tp = tr.view.at(x, y)) over(acc, tp, tr.alpha);
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    Image graded_;
    PixelView g_;
    Image ghost_;
    std::vector<Trail> trails_;
    Rect extent_;
    Image blurred_;
    Image grid_;
    PixelView lowView_;
    bool streamOut_ = false;
    int qx_ = 0, qy_ = 0;
    float wx_ = 0, wy_ = 0;
    Rect ghostInside_;
};

}  // namespace

int DrunkMode::historyDepth() const {
    int n = 0;
    for (size_t i = 0; i < trails_.size(); ++i) n += !trails_[i].isNull() || !shelved_[i].isNull();
    return n;
}

size_t DrunkMode::historyBytes() const {
    size_t n = 0;
    for (size_t i = 0; i < trails_.size(); ++i) {
        n += shelved_[i].bytes();
        if (const PixelView v = pixelsOf(trails_[i])) n += size_t(v.bounds.w) * v.bounds.h * 4 * sizeof(float);
    }
    return n;
}

void DrunkMode::suspend() {
    for (size_t i = 0; i < trails_.size(); ++i)
        if (!trails_[i].isNull()) {
            shelved_[i] = engine::ShelvedPicture(trails_[i]);
            trails_[i] = Image();
        }
}

Image DrunkMode::render(const Image& image, const FrameContext& frame) {
    using namespace drunk;
    const double t = frame.t;
    for (size_t i = 0; i < trails_.size(); ++i)
        if (!shelved_[i].isNull()) {
            trails_[i] = shelved_[i].restore();
            shelved_[i] = engine::ShelvedPicture();
        }
    const Rect E = image.extent();
    // The graded picture is read by the ghost's blur, as the background and, over the next three
    // frames, as a trail: evaluate it once and keep its pixels, with the transparent margin the
    // ghost's blur reads around it (the ghost moves by 22 px at most), so that blur's reduced grid is
    // made from it in place.
    const Image graded = [&] {
        const Image g = grade(image);
        if (straightforwardChains() || E.isInfinite() || E.isEmpty()) return materialize(g);
        const IRect px = engine::pixelBounds(E);
        const IRect margin = engine::BlurNode(g.node(), 5.0).roi(0, px.grown(24, 24));
        const int x0 = std::min(px.x, margin.x), y0 = std::min(px.y, margin.y);
        const IRect over{x0, y0, std::max(px.maxX(), margin.maxX()) - x0, std::max(px.maxY(), margin.maxY()) - y0};
        return engine::materializeOver(g, over);
    }();

    const double gx = std::sin(1.6 * t) * 22, gy = std::sin(1.1 * t) * 10;
    const Image blurred = graded.gaussianBlur(5.0);
    const Image moved = blurred.translated(gx, gy).cropped(E);
    auto& h = trails_;
    const double alphas[3] = {0.45, 0.3, 0.18};

    const PixelView gv = pixelsOf(graded);
    bool fused = bool(gv) && !straightforwardChains();
    std::vector<DrunkAccumulateNode::Trail> trails;
    Rect accExtent = E;
    for (int i = 0; i < 3 && fused; ++i) {
        if (h[size_t(i)].isNull()) continue;
        const PixelView v = pixelsOf(h[size_t(i)]);
        if (!v) fused = false;
        trails.push_back({h[size_t(i)], v, float(alphas[i])});
        accExtent = accExtent.united(h[size_t(i)].extent());
    }
    Image acc;
    if (fused) {
        // Alpha-only colour matrices scale premultiplied pixels by the alpha, so the ghost and
        // the trails are faded inside the pass.
        auto node = std::make_shared<DrunkAccumulateNode>(graded, gv, moved, std::move(trails), accExtent);
        if (!moved.isNull()) node->setGhostSource(blurred, ghostGrid(graded, gv, gx, gy, E), gx, gy, E);
        node->setStreaming(true);  // materialised right below
        acc = Image(node);
    } else {
        const Image ghost = alphaScaled(moved, 0.55);
        acc = ghost.composited(graded).cropped(E);
        for (int i = 0; i < 3; ++i)
            if (!h[size_t(i)].isNull()) acc = alphaScaled(h[size_t(i)], alphas[i]).composited(acc);
    }
    h[2] = h[1];
    h[1] = h[0];
    h[0] = graded;

    // The shake reads acc through a rotation, so every output tile would pull a much taller band
    // of it: evaluate acc once and sample it straight from its pixels.
    acc = materialize(acc);
    const double cx = E.x + E.w / 2, cy = E.y + E.h / 2;
    const Image out = resampled(acc, shakeTransform(t, cx, cy), E);
    const Image result = out.gaussianBlur(blurSigma(t)).cropped(E);
    // A picture shaken wholly out of its frame (only possible for tiny ones) is a transparent
    // frame, still of the input's extent.
    if (result.extent().isEmpty() && !E.isEmpty()) return Image::solid(engine::Color{}).cropped(E);
    return result;
}

}  // namespace ostrela::effects
