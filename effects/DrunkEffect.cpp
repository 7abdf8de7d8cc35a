#include "effects/DrunkEffect.h"

#include "pipeline/engine/Schedule.h"

#include "pipeline/engine/Cpu.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <immintrin.h>

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

// Loads of one pixel (in the low half of the register) or two.
template <bool One>
__attribute__((target("avx2,fma"), always_inline)) inline __m256 loadPx(const float* p) {
    if constexpr (One) return _mm256_castps128_ps256(_mm_loadu_ps(p));
    else return _mm256_loadu_ps(p);
}

// Pixel i (and i + 1 unless One) of the accumulating pass.
template <int N, bool One>
__attribute__((target("avx2,fma"), always_inline)) inline __m256 accumulateAt(int i, const float* gp, const float* b0, const float* b1,
                                                                              __m256 vx, __m256 vy, const float* const* tp,
                                                                              const __m256* ta) {
    const __m256 one = _mm256_set1_ps(1.0f), k = _mm256_set1_ps(0.55f);
    __m256 acc = loadPx<One>(gp + 4 * i);
    const __m256 a0 = loadPx<One>(b0 + 4 * i), a1 = loadPx<One>(b0 + 4 * i + 4);
    const __m256 c0 = loadPx<One>(b1 + 4 * i), c1 = loadPx<One>(b1 + 4 * i + 4);
    const __m256 bot = _mm256_fmadd_ps(_mm256_sub_ps(a1, a0), vx, a0);
    const __m256 top = _mm256_fmadd_ps(_mm256_sub_ps(c1, c0), vx, c0);
    const __m256 f = _mm256_mul_ps(_mm256_fmadd_ps(_mm256_sub_ps(top, bot), vy, bot), k);
    acc = _mm256_fmadd_ps(acc, _mm256_sub_ps(one, _mm256_permute_ps(f, 0xFF)), f);
    for (int q = 0; q < N; ++q) {
        const __m256 t = _mm256_mul_ps(loadPx<One>(tp[q] + 4 * i), ta[q]);
        acc = _mm256_fmadd_ps(acc, _mm256_sub_ps(one, _mm256_permute_ps(t, 0xFF)), t);
    }
    return acc;
}

// One row of the accumulating pass, two pixels at a time: the moved ghost read bilinearly from
// its blur (rows b0, b1; weights wx, wy), at 55 % over the graded row, then N trails over that.
// `stream` (o 16-byte aligned) writes around the cache.
template <int N>
__attribute__((target("avx2,fma"))) void accumulateRowWide(const float* gp, const float* b0, const float* b1, float wx, float wy,
                                                           const float* const* tp, const float* alpha, bool stream, int n,
                                                           float* o) {
    const __m256 vx = _mm256_set1_ps(wx), vy = _mm256_set1_ps(wy);
    __m256 ta[3] = {};
    for (int q = 0; q < N; ++q) ta[q] = _mm256_set1_ps(alpha[q]);
    int i = 0;
    if (stream) {
        if (n > 0 && (reinterpret_cast<uintptr_t>(o) & 31) != 0) {
            _mm_stream_ps(o, _mm256_castps256_ps128(accumulateAt<N, true>(0, gp, b0, b1, vx, vy, tp, ta)));
            i = 1;
        }
        for (; i + 2 <= n; i += 2) _mm256_stream_ps(o + 4 * i, accumulateAt<N, false>(i, gp, b0, b1, vx, vy, tp, ta));
        for (; i < n; ++i) _mm_stream_ps(o + 4 * i, _mm256_castps256_ps128(accumulateAt<N, true>(i, gp, b0, b1, vx, vy, tp, ta)));
        return;
    }
    for (; i + 2 <= n; i += 2) _mm256_storeu_ps(o + 4 * i, accumulateAt<N, false>(i, gp, b0, b1, vx, vy, tp, ta));
    for (; i < n; ++i) _mm_storeu_ps(o + 4 * i, _mm256_castps256_ps128(accumulateAt<N, true>(i, gp, b0, b1, vx, vy, tp, ta)));
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
    // that shifts that extent off an edge needs no other path.
    void setGhostSource(Image blurred, double tx, double ty, const Rect& crop) {
        blurred_ = std::move(blurred);
        // A blur of the graded picture reads its pixels in place where they cover its margin.
        blur_ = dynamic_cast<const engine::BlurNode*>(blurred_.node().get());
        if (blur_ && blur_->input(0) != graded_.node().get()) blur_ = nullptr;
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
        const __m128 one = _mm_set1_ps(1.0f), k = _mm_set1_ps(0.55f);
        bool inside = g_.bounds.contains(r);
        for (const Trail& tr : trails_) inside = inside && tr.view.bounds.contains(r);
        const Rect rr{double(r.x), double(r.y), double(r.w), double(r.h)};
        const bool direct = !blurred_.isNull() && inside && ghostInside_.intersected(rr) == rr;
        const float* gh = nullptr;
        if (direct) {
            // The blur over the tile's source (one more row and column for the bilinear read).
            const IRect sr{r.x + qx_, r.y + qy_, r.w + 1, r.h + 1};
            const float* B = nullptr;
            if (blur_) {
                const IRect br = blur_->roi(0, sr);
                if (g_.bounds.contains(br)) {
                    float* buf = ctx.allocPixels(sr);
                    blur_->renderFrom(ctx, sr, g_.at(br.x, br.y), size_t(g_.bounds.w) * 4, buf);
                    B = buf;
                }
            }
            if (!B) B = ctx.pull(*blurred_.node(), sr);
            const __m128 vx = _mm_set1_ps(wx_), vy = _mm_set1_ps(wy_);
            const size_t n = trails_.size();
            const bool wide = engine::cpu::hasAvx2Fma();
            for (int j = 0; j < r.h; ++j) {
                const float* gp = g_.at(r.x, r.y + j);
                const float* tp[3] = {};
                __m128 ta[3];
                for (size_t q = 0; q < n; ++q) {
                    tp[q] = trails_[q].view.at(r.x, r.y + j);
                    ta[q] = _mm_set1_ps(trails_[q].alpha);
                }
                const float* b0 = B + size_t(j) * sr.w * 4;
                // Straight to memory when the pass fills a stored picture: it is read back much
                // later, so fetching its lines first would only cost bandwidth.
                const bool stream = streamOut_ && (reinterpret_cast<uintptr_t>(out) & 15) == 0;
                const float* b1 = b0 + size_t(sr.w) * 4;
                float* o = out + size_t(j) * r.w * 4;
                if (wide) {
                    float al[3] = {};
                    for (size_t q = 0; q < n; ++q) al[q] = trails_[q].alpha;
                    const bool st = streamOut_ && (reinterpret_cast<uintptr_t>(o) & 15) == 0;
                    switch (n) {
                        case 0: accumulateRowWide<0>(gp, b0, b1, wx_, wy_, tp, al, st, r.w, o); break;
                        case 1: accumulateRowWide<1>(gp, b0, b1, wx_, wy_, tp, al, st, r.w, o); break;
                        case 2: accumulateRowWide<2>(gp, b0, b1, wx_, wy_, tp, al, st, r.w, o); break;
                        default: accumulateRowWide<3>(gp, b0, b1, wx_, wy_, tp, al, st, r.w, o); break;
                    }
                    continue;
                }
                for (int i = 0; i < r.w; ++i) {
                    __m128 acc = _mm_loadu_ps(gp + 4 * i);
                    const __m128 a0 = _mm_loadu_ps(b0 + 4 * i), a1 = _mm_loadu_ps(b0 + 4 * i + 4);
                    const __m128 c0 = _mm_loadu_ps(b1 + 4 * i), c1 = _mm_loadu_ps(b1 + 4 * i + 4);
                    const __m128 bot = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
                    const __m128 top = _mm_add_ps(c0, _mm_mul_ps(_mm_sub_ps(c1, c0), vx));
                    const __m128 f = _mm_mul_ps(_mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy)), k);
                    acc = _mm_add_ps(f, _mm_mul_ps(acc, _mm_sub_ps(one, _mm_shuffle_ps(f, f, 0xFF))));
                    for (size_t q = 0; q < n; ++q) {
                        const __m128 t = _mm_mul_ps(_mm_loadu_ps(tp[q] + 4 * i), ta[q]);
                        acc = _mm_add_ps(t, _mm_mul_ps(acc, _mm_sub_ps(one, _mm_shuffle_ps(t, t, 0xFF))));
                    }
                    if (stream) _mm_stream_ps(o + 4 * i, acc); else _mm_storeu_ps(o + 4 * i, acc);
                }
            }
            if (streamOut_) _mm_sfence();
            engine::detail::clearOutside(out, r, extent_);
            return;
        }
        gh = ghost_.isNull() ? nullptr : ctx.pull(*ghost_.node(), r);
        if (inside) {
            // Every picture covers the tile: plain row pointers.
            const size_t n = trails_.size();
            for (int j = 0; j < r.h; ++j) {
                const float* gp = g_.at(r.x, r.y + j);
                const float* tp[3] = {};
                __m128 ta[3];
                for (size_t q = 0; q < n; ++q) {
                    tp[q] = trails_[q].view.at(r.x, r.y + j);
                    ta[q] = _mm_set1_ps(trails_[q].alpha);
                }
                const float* hp = gh ? gh + size_t(j) * r.w * 4 : nullptr;
                float* o = out + size_t(j) * r.w * 4;
                for (int i = 0; i < r.w; ++i) {
                    __m128 acc = _mm_loadu_ps(gp + 4 * i);
                    if (hp) {
                        const __m128 f = _mm_mul_ps(_mm_loadu_ps(hp + 4 * i), k);
                        acc = _mm_add_ps(f, _mm_mul_ps(acc, _mm_sub_ps(one, _mm_shuffle_ps(f, f, 0xFF))));
                    }
                    for (size_t q = 0; q < n; ++q) {
                        const __m128 f = _mm_mul_ps(_mm_loadu_ps(tp[q] + 4 * i), ta[q]);
                        acc = _mm_add_ps(f, _mm_mul_ps(acc, _mm_sub_ps(one, _mm_shuffle_ps(f, f, 0xFF))));
                    }
                    _mm_storeu_ps(o + 4 * i, acc);
                }
            }
            engine::detail::clearOutside(out, r, extent_);
            return;
        }
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            for (int i = 0; i < r.w; ++i) {
                const int x = r.x + i;
                const float* gp = g_.at(x, y);
                __m128 acc = gp ? _mm_loadu_ps(gp) : _mm_setzero_ps();
                if (gh) {
                    const __m128 f = _mm_mul_ps(_mm_loadu_ps(gh + (size_t(j) * r.w + i) * 4), k);
                    acc = _mm_add_ps(f, _mm_mul_ps(acc, _mm_sub_ps(one, _mm_shuffle_ps(f, f, 0xFF))));
                }
                for (const Trail& tr : trails_) {
                    const float* tp = tr.view.at(x, y);
                    if (!tp) continue;
                    const __m128 f = _mm_mul_ps(_mm_loadu_ps(tp), _mm_set1_ps(tr.alpha));
                    acc = _mm_add_ps(f, _mm_mul_ps(acc, _mm_sub_ps(one, _mm_shuffle_ps(f, f, 0xFF))));
                }
                _mm_storeu_ps(o + 4 * i, acc);
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
    const engine::BlurNode* blur_ = nullptr;
    bool streamOut_ = false;
    int qx_ = 0, qy_ = 0;
    float wx_ = 0, wy_ = 0;
    Rect ghostInside_;
};

}  // namespace

int DrunkMode::historyDepth() const {
    return int(std::count_if(trails_.begin(), trails_.end(), [](const Image& i) { return !i.isNull(); }));
}

Image DrunkMode::render(const Image& image, const FrameContext& frame) {
    using namespace drunk;
    const double t = frame.t;
    const Rect E = image.extent();
    // The graded picture is read by the ghost's blur, as the background and, over the next three
    // frames, as a trail: evaluate it once and keep its pixels, with the transparent margin the
    // ghost's blur reads around it (the ghost moves by 22 px at most), so that blur reads it in place.
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
        if (!moved.isNull()) node->setGhostSource(blurred, gx, gy, E);
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
