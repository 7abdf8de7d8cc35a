#include "effects/NoirKernels.h"

#include "effects/GradeShortcuts.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/SrgbVector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>
#include <immintrin.h>

namespace ostrela::effects::noir {

using engine::Image;
using engine::IRect;
using engine::Rect;

namespace {

using namespace engine::vec;  // the tone filters' own curves, so these edges equal theirs

constexpr int kSteps = 4096;
constexpr int kFinishSteps = 1024;  // 16 KB of colours, kept in the first-level cache

// Opaque grey pixels need one value per step: the edge tone as a function of the Sobel magnitude
// (before its decode), the finish as one of the screened grey, in its square root.
struct Tables {
    engine::PixelOpPtr edgeTone, finish;
    std::vector<float> edge, finishRgba;
};

std::shared_ptr<const Tables> bake(engine::PixelOpPtr edgeTone, engine::PixelOpPtr finish) {
    auto t = std::make_shared<Tables>();
    t->edgeTone = edgeTone;
    t->finish = finish;
    t->edge.resize(kSteps + 2);
    std::vector<float> px(size_t(kSteps + 1) * 4);
    for (int i = 0; i <= kSteps; ++i) {
        const float d = _mm_cvtss_f32(decodeV(_mm_set1_ps(float(i) / kSteps)));
        px[size_t(i) * 4 + 0] = px[size_t(i) * 4 + 1] = px[size_t(i) * 4 + 2] = d;
        px[size_t(i) * 4 + 3] = 1.0f;
    }
    if (edgeTone) edgeTone->apply(px.data(), kSteps + 1);
    for (int i = 0; i <= kSteps; ++i) t->edge[size_t(i)] = px[size_t(i) * 4];
    t->edge[kSteps + 1] = t->edge[kSteps];
    t->finishRgba.resize(size_t(kFinishSteps + 2) * 4);
    for (int i = 0; i <= kFinishSteps; ++i) {
        const float u = float(i) / kFinishSteps, v = u * u;
        px[size_t(i) * 4 + 0] = px[size_t(i) * 4 + 1] = px[size_t(i) * 4 + 2] = v;
        px[size_t(i) * 4 + 3] = 1.0f;
    }
    if (finish) finish->apply(px.data(), kFinishSteps + 1);
    std::copy(px.begin(), px.begin() + long(kFinishSteps + 1) * 4, t->finishRgba.begin());
    for (int c = 0; c < 4; ++c) t->finishRgba[size_t(kFinishSteps + 1) * 4 + c] = t->finishRgba[size_t(kFinishSteps) * 4 + c];
    return t;
}

// Baked once for the ops a frame passes (the same ones every frame).
std::shared_ptr<const Tables> tablesFor(const engine::PixelOpPtr& edgeTone, const engine::PixelOpPtr& finish) {
    static std::mutex mutex;
    static std::shared_ptr<const Tables> last;
    std::lock_guard lock(mutex);
    if (!last || last->edgeTone != edgeTone || last->finish != finish) last = bake(edgeTone, finish);
    return last;
}

// Encoded premultiplied grey of n pixels (four at a time, the tail one by one).
void encodeGrey(const float* src, size_t n, float* enc) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const float* p = src + 4 * i;
        const __m128 v = _mm_setr_ps(p[0], p[4], p[8], p[12]);
        const __m128 a = _mm_setr_ps(p[3], p[7], p[11], p[15]);
        const __m128 one = _mm_set1_ps(1.0f);
        __m128 e;
        if (_mm_movemask_ps(_mm_cmpge_ps(a, one)) == 0xF) {
            e = encodeV(v);
        } else {
            // Straight value (kept where it exceeds alpha, as the filters do), zero where alpha is.
            const __m128 un = _mm_blendv_ps(_mm_div_ps(v, _mm_max_ps(a, _mm_set1_ps(1e-30f))), v,
                                            _mm_or_ps(_mm_cmpgt_ps(v, a), _mm_cmpge_ps(a, one)));
            const __m128 live = _mm_cmpgt_ps(a, _mm_setzero_ps());
            e = _mm_and_ps(_mm_mul_ps(encodeV(un), clamp01(a)), live);
        }
        _mm_storeu_ps(enc + i, e);
    }
    for (; i < n; ++i) {
        const float v = src[4 * i], a = src[4 * i + 3];
        float un = a >= 1.0f ? v : (!(a > 0.0f) ? 0.0f : (v > a ? v : v * (1.0f / a)));
        enc[i] = !(a > 0.0f) ? 0.0f : _mm_cvtss_f32(encodeV(_mm_set1_ps(un))) * std::clamp(a, 0.0f, 1.0f);
    }
}

class LinesNode final : public engine::Node {
public:
    // `in` is the grey picture; `extent` its own. Its edge pixels count as repeated outward (the
    // repeat is done here on the one-channel values rather than by a clamp copying the pixels).
    LinesNode(engine::NodePtr in, const Rect& extent, double intensity, engine::PixelOpPtr edgeTone, engine::PixelOpPtr finish)
        : in_(std::move(in)), extent_(extent), px_(engine::pixelBounds(extent)), k_(float(intensity) / 8.0f),
          edgeTone_(std::move(edgeTone)), finish_(std::move(finish)), tables_(tablesFor(edgeTone_, finish_)) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return in_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.grown(1, 1).intersected(px_); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect sr = r.grown(1, 1);
        const IRect cr = sr.intersected(px_);
        if (cr.isEmpty()) {
            std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
            return;
        }
        const float* pulled = ctx.pull(*in_, cr);
        // The footprint's encoded grey, edge values repeated outward; the tail is padded.
        const size_t stride = size_t(sr.w);
        float* enc = ctx.alloc(stride * sr.h + 4);
        const int left = cr.x - sr.x, right = sr.maxX() - cr.maxX();
        for (int y = cr.y; y < cr.maxY(); ++y) {
            float* row = enc + size_t(y - sr.y) * stride;
            encodeGrey(pulled + size_t(y - cr.y) * cr.w * 4, size_t(cr.w), row + left);
            for (int x = 0; x < left; ++x) row[x] = row[left];
            for (int x = 0; x < right; ++x) row[left + cr.w + x] = row[left + cr.w - 1];
        }
        for (int y = sr.y; y < cr.y; ++y) std::memcpy(enc + size_t(y - sr.y) * stride, enc + size_t(cr.y - sr.y) * stride, stride * sizeof(float));
        for (int y = cr.maxY(); y < sr.maxY(); ++y)
            std::memcpy(enc + size_t(y - sr.y) * stride, enc + size_t(cr.maxY() - 1 - sr.y) * stride, stride * sizeof(float));
        // The picture under the tile itself, at its own pixels where the tile lies inside it.
        const float* src = pulled;
        IRect srcRect = cr;
        if (!cr.contains(r)) {
            float* c = ctx.allocPixels(r);
            for (int j = 0; j < r.h; ++j) {
                const int y = std::clamp(r.y + j, cr.y, cr.maxY() - 1);
                for (int i = 0; i < r.w; ++i) {
                    const int x = std::clamp(r.x + i, cr.x, cr.maxX() - 1);
                    std::memcpy(c + (size_t(j) * r.w + i) * 4, pulled + (size_t(y - cr.y) * cr.w + (x - cr.x)) * 4, 4 * sizeof(float));
                }
            }
            src = c;
            srcRect = r;
        }
        const __m128 two = _mm_set1_ps(2.0f), k = _mm_set1_ps(k_);
        float* mag = ctx.alloc(size_t(r.w) + 4);
        for (int j = 0; j < r.h; ++j) {
            const float* m0 = enc + size_t(j) * stride;  // row below
            const float* m1 = m0 + stride;
            const float* m2 = m1 + stride;  // row above
            int x = 0;
            for (; x + 4 <= r.w; x += 4) {
                const __m128 bl = _mm_loadu_ps(m0 + x), bc = _mm_loadu_ps(m0 + x + 1), br = _mm_loadu_ps(m0 + x + 2);
                const __m128 ml = _mm_loadu_ps(m1 + x), mr = _mm_loadu_ps(m1 + x + 2);
                const __m128 tl = _mm_loadu_ps(m2 + x), tc = _mm_loadu_ps(m2 + x + 1), tr = _mm_loadu_ps(m2 + x + 2);
                const __m128 gx = _mm_add_ps(_mm_sub_ps(br, bl), _mm_add_ps(_mm_mul_ps(two, _mm_sub_ps(mr, ml)), _mm_sub_ps(tr, tl)));
                const __m128 gy = _mm_add_ps(_mm_sub_ps(tl, bl), _mm_add_ps(_mm_mul_ps(two, _mm_sub_ps(tc, bc)), _mm_sub_ps(tr, br)));
                _mm_storeu_ps(mag + x, clamp01(_mm_mul_ps(k, _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(gx, gx), _mm_mul_ps(gy, gy))))));
            }
            for (; x < r.w; ++x) {
                const float gx = (m0[x + 2] - m0[x]) + 2 * (m1[x + 2] - m1[x]) + (m2[x + 2] - m2[x]);
                const float gy = (m2[x] - m0[x]) + 2 * (m2[x + 1] - m0[x + 1]) + (m2[x + 2] - m0[x + 2]);
                mag[x] = std::clamp(k_ * std::sqrt(gx * gx + gy * gy), 0.0f, 1.0f);
            }
            float* o = out + size_t(j) * r.w * 4;
            const float* centre = src + (size_t(r.y + j - srcRect.y) * srcRect.w + (r.x - srcRect.x)) * 4;
            bool opaque = true;
            for (int x2 = 0; x2 < r.w && opaque; ++x2) opaque = centre[4 * x2 + 3] >= 1.0f;
            if (opaque) {
                const float* et = tables_->edge.data();
                const float* ft = tables_->finishRgba.data();
                int x2 = 0;
                // Four pixels at a time: the same arithmetic as the loop below, table reads aside.
                const __m128 se = _mm_set1_ps(float(kSteps)), sf = _mm_set1_ps(float(kFinishSteps));
                for (; x2 + 4 <= r.w; x2 += 4) {
                    const __m128 pe = _mm_mul_ps(_mm_loadu_ps(mag + x2), se);
                    const __m128i ie = _mm_cvttps_epi32(pe);
                    const __m128 fe = _mm_sub_ps(pe, _mm_cvtepi32_ps(ie));
                    alignas(16) int ii[4];
                    _mm_store_si128(reinterpret_cast<__m128i*>(ii), ie);
                    const __m128 e0 = _mm_setr_ps(et[ii[0]], et[ii[1]], et[ii[2]], et[ii[3]]);
                    const __m128 e1 = _mm_setr_ps(et[ii[0] + 1], et[ii[1] + 1], et[ii[2] + 1], et[ii[3] + 1]);
                    const __m128 d = _mm_add_ps(e0, _mm_mul_ps(_mm_sub_ps(e1, e0), fe));
                    const float* c = centre + 4 * x2;
                    const __m128 m = _mm_setr_ps(c[0], c[4], c[8], c[12]);
                    const __m128 sc = clamp01(_mm_sub_ps(_mm_add_ps(d, m), _mm_mul_ps(d, m)));
                    const __m128 pf = _mm_mul_ps(_mm_sqrt_ps(sc), sf);
                    const __m128i jf = _mm_cvttps_epi32(pf);
                    alignas(16) int jj[4];
                    alignas(16) float ww[4];
                    _mm_store_si128(reinterpret_cast<__m128i*>(jj), jf);
                    _mm_store_ps(ww, _mm_sub_ps(pf, _mm_cvtepi32_ps(jf)));
                    for (int q = 0; q < 4; ++q) {
                        const __m128 lo = _mm_loadu_ps(ft + 4 * jj[q]), hi = _mm_loadu_ps(ft + 4 * jj[q] + 4);
                        _mm_storeu_ps(o + 4 * (x2 + q), _mm_add_ps(lo, _mm_mul_ps(_mm_sub_ps(hi, lo), _mm_set1_ps(ww[q]))));
                    }
                }
                for (; x2 < r.w; ++x2) {
                    const float pe = mag[x2] * kSteps;
                    const int ie = int(pe);
                    const float d = et[ie] + (et[ie + 1] - et[ie]) * (pe - float(ie));
                    const float m = centre[4 * x2];
                    const float sc = std::clamp(d + m - d * m, 0.0f, 1.0f);
                    const float pf = std::sqrt(sc) * kFinishSteps;
                    const int jf = int(pf);
                    const float w = pf - float(jf);
                    const __m128 lo = _mm_loadu_ps(ft + 4 * jf), hi = _mm_loadu_ps(ft + 4 * jf + 4);
                    _mm_storeu_ps(o + 4 * x2, _mm_add_ps(lo, _mm_mul_ps(_mm_sub_ps(hi, lo), _mm_set1_ps(w))));
                }
                continue;
            }
            for (int x2 = 0; x2 < r.w; ++x2) mag[x2] = _mm_cvtss_f32(decodeV(_mm_set1_ps(mag[x2])));
            for (int x2 = 0; x2 < r.w; ++x2) {
                const float a = std::clamp(centre[4 * x2 + 3], 0.0f, 1.0f);
                const float e = mag[x2] * a;
                o[4 * x2 + 0] = o[4 * x2 + 1] = o[4 * x2 + 2] = e;
                o[4 * x2 + 3] = a;
            }
            if (edgeTone_) edgeTone_->apply(o, r.w);
            // Screened over the picture itself.
            for (int x2 = 0; x2 < r.w; ++x2) {
                const __m128 t = _mm_loadu_ps(o + 4 * x2), b = _mm_loadu_ps(centre + 4 * x2);
                _mm_storeu_ps(o + 4 * x2, _mm_sub_ps(_mm_add_ps(t, b), _mm_mul_ps(t, b)));
            }
            if (finish_) finish_->apply(o, r.w);
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    engine::NodePtr in_;
    Rect extent_;
    IRect px_;
    float k_;
    engine::PixelOpPtr edgeTone_, finish_;
    std::shared_ptr<const Tables> tables_;
};

// Screen of the scaled glow over the picture, the vignette's darkening and opaque alphas made
// one again, in one pass that reads the picture from its band cache without copying it.
class GlowFinishNode final : public engine::Node {
public:
    GlowFinishNode(engine::NodePtr pic, engine::NodePtr glow, const Rect& e, float glowScale, double vignette, double radius)
        : pic_(std::move(pic)), glow_(std::move(glow)), extent_(e), px_(engine::pixelBounds(e)), scale_(glowScale) {
        cx_ = e.x + 0.5 * e.w;
        cy_ = e.y + 0.5 * e.h;
        const double R = 0.5 * std::hypot(e.w, e.h) * std::max(std::abs(radius), 1e-6);
        k_ = float(std::abs(vignette) / (R * R));
        darken_ = vignette >= 0;
    }
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 2; }
    const engine::Node* input(int i) const override { return i == 0 ? pic_.get() : glow_.get(); }
    IRect roi(int, const IRect& dest) const override { return dest.intersected(px_); }
    void render(engine::TileContext& ctx, const IRect& r, float* out) const override {
        const IRect in = r.intersected(px_);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        const float* g = ctx.pull(*glow_, in);
        float* dx2 = ctx.alloc(size_t(in.w));
        for (int i = 0; i < in.w; ++i) {
            const float dx = float(in.x + i + 0.5 - cx_);
            dx2[i] = dx * dx;
        }
        const __m128 k = _mm_set1_ps(scale_), kv = _mm_set1_ps(k_), one = _mm_set1_ps(1.0f);
        const __m128 nearOne = _mm_set1_ps(0.99999f), alphaLane = _mm_castsi128_ps(_mm_setr_epi32(0, 0, 0, -1));
        shortcuts::cachedRows(*pic_, ctx, in, [&](const IRect& part, const float* p, size_t stride) {
            for (int y = part.y; y < part.maxY(); ++y) {
                const float* bp = p + size_t(y - part.y) * stride * 4;
                const float* gp = g + (size_t(y - in.y) * in.w + (part.x - in.x)) * 4;
                float* op = out + (size_t(y - r.y) * r.w + (part.x - r.x)) * 4;
                const float dy = float(y + 0.5 - cy_);
                const float dy2 = dy * dy;
                const float* dxp = dx2 + (part.x - in.x);
                // The vignette's factors four at a time (the same arithmetic, one division each).
                int i = 0;
                for (; i + 4 <= part.w; i += 4) {
                    const __m128 d = _mm_add_ps(one, _mm_mul_ps(kv, _mm_add_ps(_mm_loadu_ps(dxp + i), _mm_set1_ps(dy2))));
                    const __m128 d2 = _mm_mul_ps(d, d);
                    alignas(16) float fs[4];
                    _mm_store_ps(fs, darken_ ? _mm_div_ps(one, d2) : d2);
                    for (int q = 0; q < 4; ++q) {
                        const int x = i + q;
                        const __m128 a = _mm_mul_ps(_mm_loadu_ps(gp + 4 * x), k), b = _mm_loadu_ps(bp + 4 * x);
                        __m128 c = _mm_sub_ps(_mm_add_ps(a, b), _mm_mul_ps(a, b));
                        c = _mm_mul_ps(c, _mm_blend_ps(_mm_set1_ps(fs[q]), one, 8));
                        // The reduced-grid blur sums its weights to a hair under one; alphas that
                        // close to one are one (the written byte is 255 either way), which keeps
                        // the final write on its opaque path.
                        c = _mm_blendv_ps(c, one, _mm_and_ps(_mm_cmpgt_ps(c, nearOne), alphaLane));
                        _mm_storeu_ps(op + 4 * x, c);
                    }
                }
                for (; i < part.w; ++i) {
                    const __m128 a = _mm_mul_ps(_mm_loadu_ps(gp + 4 * i), k), b = _mm_loadu_ps(bp + 4 * i);
                    alignas(16) float c[4];
                    _mm_store_ps(c, _mm_sub_ps(_mm_add_ps(a, b), _mm_mul_ps(a, b)));
                    const float d = 1.0f + k_ * (dxp[i] + dy2);
                    const float f = darken_ ? 1.0f / (d * d) : d * d;
                    op[4 * i] = c[0] * f;
                    op[4 * i + 1] = c[1] * f;
                    op[4 * i + 2] = c[2] * f;
                    op[4 * i + 3] = c[3] > 0.99999f ? 1.0f : c[3];
                }
            }
        });
    }

private:
    engine::NodePtr pic_, glow_;
    Rect extent_;
    IRect px_;
    float scale_;
    double cx_, cy_;
    float k_;
    bool darken_;
};

}  // namespace

Image linesOverGrey(const Image& grey, double intensity, engine::PixelOpPtr edgeTone, engine::PixelOpPtr finish) {
    if (grey.isNull()) return grey;
    const Rect e = grey.extent();
    if (e.isInfinite() || e.isEmpty()) return grey;
    return Image(std::make_shared<LinesNode>(grey.node(), e, intensity, std::move(edgeTone), std::move(finish)));
}

Image bloomAndVignette(const Image& picture, double radius, double intensity, double vignette, double vignetteRadius) {
    if (picture.isNull()) return picture;
    const Rect e = picture.extent();
    if (e.isInfinite() || e.isEmpty() || !(radius > 0.0) || !(intensity > 0.0)) return picture;
    // The glow exactly as the bloom filter forms it.
    const Image src = shortcuts::clampedToExtent(picture);
    Image glow;
    if (radius >= 2.0 && radius < 4.0) {
        const double v = radius * radius - 0.25 - 4.0 / 6.0;
        glow = src.scaled(0.5, 0.5).gaussianBlur(std::sqrt(std::max(v, 0.25)) / 2.0).scaled(2.0, 2.0);
    } else {
        glow = src.gaussianBlur(radius);
    }
    glow = glow.cropped(e);
    return Image(std::make_shared<GlowFinishNode>(picture.node(), glow.node(), e, float(intensity), vignette, vignetteRadius));
}

}  // namespace ostrela::effects::noir
