#include "effects/DreamEffect.h"

#include "effects/DreamHalo.h"
#include "effects/DreamKernels.h"
#include "effects/DrunkEffect.h"
#include "effects/Kernels.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
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

QImage sparkles(int wp, int hp, double t) {
    QImage bitmap(std::max(wp, 1), std::max(hp, 1), QImage::Format_ARGB32_Premultiplied);
    if (bitmap.isNull()) return bitmap;
    bitmap.fill(Qt::transparent);
    QPainter p(&bitmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    for (const Sparkle& s : sparkleCircles(bitmap.width(), bitmap.height(), t)) {
        p.setBrush(QColor::fromRgbF(1.0f, 0.98f, 0.9f, float(s.alpha)));
        p.drawEllipse(QPointF(s.cx, s.cy), s.r, s.r);
    }
    return bitmap;
}

namespace {
Image& echoSlot() {
    static Image slot;  // process-wide, never cleared
    return slot;
}

Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}

// Step 9 from C′'s pixels: C′ and nine copies scaled about the centre, each at 24 %, screened
// one after another. Scaling about a point is axis-aligned, so each copy's columns and rows are
// found once per tile and once per row.
class BurstNode final : public engine::Node {
public:
    BurstNode(Image c, PixelView v, std::array<double, 9> scales, double cx, double cy, const Rect& extent)
        : c_(std::move(c)), v_(v), scales_(scales), cx_(cx), cy_(cy), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect b = v_.bounds;
        int* col = reinterpret_cast<int*>(ctx.alloc(size_t(r.w) * 9));
        float* colw = ctx.alloc(size_t(r.w) * 9);
        int lo[9], hi[9];
        for (int k = 0; k < 9; ++k) {
            int* cx = col + size_t(k) * r.w;
            for (int i = 0; i < r.w; ++i) {
                const double f = cx_ + (r.x + i + 0.5 - cx_) / scales_[size_t(k)] - 0.5;
                const double fl = std::floor(f);
                cx[i] = int(fl) - b.x;
                colw[k * r.w + i] = float(f - fl);
            }
            // Columns are increasing in i: the run whose taps all lie inside is one interval.
            lo[k] = 0, hi[k] = r.w;
            while (lo[k] < r.w && cx[lo[k]] < 0) ++lo[k];
            while (hi[k] > lo[k] && cx[hi[k] - 1] + 1 >= b.w) --hi[k];
        }
        // Where every copy's taps lie inside, all nine are done together in registers.
        static const bool fused = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        int fl0 = *std::max_element(lo, lo + 9), pairs = 0;
        if (fused && !(scales_[0] > 1.0)) fl0 = r.w;  // the pairing needs magnified copies
        if (fused && fl0 < r.w) pairs = std::max(0, *std::min_element(hi, hi + 9) - fl0) / 2;
        const int fl1 = fl0 + 2 * pairs;
        Pairs pt;
        if (pairs > 0) pt = pairTables(ctx, col, colw, r.w, fl0, pairs);
        float* blend = pairs > 0 ? ctx.alloc(size_t(b.w + 4) * 4 * 9) : nullptr;

        const __m128 a24 = _mm_set1_ps(0.24f);
        for (int j = 0; j < r.h; ++j) {
            const int y = r.y + j;
            float* o = out + size_t(j) * r.w * 4;
            if (y >= b.y && y < b.maxY() && r.x >= b.x && r.maxX() <= b.maxX()) {
                std::memcpy(o, v_.at(r.x, y), size_t(r.w) * 4 * sizeof(float));
            } else {
                for (int i = 0; i < r.w; ++i) {
                    const float* c0 = v_.at(r.x + i, y);
                    _mm_storeu_ps(o + 4 * i, c0 ? _mm_loadu_ps(c0) : _mm_setzero_ps());
                }
            }
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
            const bool together = pairs > 0 && allRows;
            if (together) {
                const float* next[9];
                for (int k = 0; k < 9; ++k) next[k] = r1[k] + 4 * size_t(b.w) <= v_.data + 4 * size_t(b.w) * (b.h - 1) ? r1[k] + 4 * size_t(b.w) : r1[k];
                rowTogether(r0, r1, next, wy, pt, blend, size_t(b.w + 4) * 4, o + 4 * fl0);
            }
            static const bool wide = __builtin_cpu_supports("avx");
            // Copy by copy everywhere else.
            for (int k = 0; k < 9; ++k) {
                const int* cx = col + size_t(k) * r.w;
                const float* cw = colw + size_t(k) * r.w;
                const __m128 vy = _mm_set1_ps(wy[k]);
                auto inside = [&](int i) {
                    const int x0 = cx[i];
                    const __m128 vx = _mm_set1_ps(cw[i]);
                    const float* q0 = r0[k] + 4 * x0;
                    const float* q1 = r1[k] + 4 * x0;
                    const __m128 a0 = _mm_loadu_ps(q0), a1 = _mm_loadu_ps(q0 + 4);
                    const __m128 b0 = _mm_loadu_ps(q1), b1 = _mm_loadu_ps(q1 + 4);
                    const __m128 bot = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
                    const __m128 top = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(b1, b0), vx));
                    return _mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy));
                };
                const int klo = r0[k] ? lo[k] : 0, khi = r0[k] ? hi[k] : 0;
                int i0 = klo;
                if (!together && wide && khi > klo) i0 = spanWide(r0[k], r1[k], cx, cw, wy[k], klo, khi, o);
                for (int i = 0; i < r.w; ++i) {
                    if (together && i == fl0 && fl1 > fl0) {
                        i = fl1 - 1;
                        continue;
                    }
                    if (!together && i == klo && khi > klo) {
                        // [klo, i0) was done wide; [i0, khi) four lanes at a time.
                        for (i = i0; i < khi; ++i) {
                            const __m128 sv = _mm_mul_ps(inside(i), a24), acc = _mm_loadu_ps(o + 4 * i);
                            _mm_storeu_ps(o + 4 * i, _mm_sub_ps(_mm_add_ps(sv, acc), _mm_mul_ps(sv, acc)));
                        }
                        i = khi - 1;
                        continue;
                    }
                    __m128 s;
                    if (r0[k] && cx[i] >= 0 && cx[i] + 1 < b.w) {
                        s = inside(i);
                    } else {
                        float t[4];
                        engine::detail::sampleBilinear(v_.data, b, cx_ + (r.x + i + 0.5 - cx_) / scales_[size_t(k)],
                                                       cy_ + (y + 0.5 - cy_) / scales_[size_t(k)], t);
                        s = _mm_loadu_ps(t);
                    }
                    s = _mm_mul_ps(s, a24);
                    const __m128 acc = _mm_loadu_ps(o + 4 * i);
                    _mm_storeu_ps(o + 4 * i, _mm_sub_ps(_mm_add_ps(s, acc), _mm_mul_ps(s, acc)));
                }
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    // Per copy and pair of output pixels: where the pair's taps start in the copy's mixed row,
    // whether the second pixel's taps are one column on (magnified copies step by 0 or 1), and the
    // two pixels' weights, four lanes each.
    struct Pairs {
        int pairs = 0;
        int base[9] = {};  // first source column of each copy's mixed row
        int span[9] = {};  // source columns it mixes
        int* off = nullptr;
        int* step = nullptr;
        float* w = nullptr;
    };
    static Pairs pairTables(engine::TileContext& ctx, const int* col, const float* colw, int n, int i0, int pairs) {
        Pairs t;
        t.pairs = pairs;
        t.off = reinterpret_cast<int*>(ctx.alloc(size_t(pairs) * 9));
        t.step = reinterpret_cast<int*>(ctx.alloc(size_t(pairs) * 9));
        t.w = ctx.alloc(size_t(pairs) * 9 * 8 + 8);
        t.w = reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(t.w) + 31) & ~uintptr_t(31));
        for (int k = 0; k < 9; ++k) {
            const int* cx = col + size_t(k) * n;
            const float* cw = colw + size_t(k) * n;
            t.base[k] = cx[i0];
            t.span[k] = cx[i0 + 2 * pairs - 1] + 2 - cx[i0];
            for (int p = 0; p < pairs; ++p) {
                const int i = i0 + 2 * p;
                const size_t q = size_t(p) * 9 + k;
                t.off[q] = 4 * (cx[i] - t.base[k]);
                t.step[q] = cx[i + 1] - cx[i];
                for (int c = 0; c < 4; ++c) {
                    t.w[q * 8 + c] = cw[i];
                    t.w[q * 8 + 4 + c] = cw[i + 1];
                }
            }
        }
        return t;
    }

    // The pairs of one row: each copy's two source rows mixed first, once per source column, kept
    // as 1 − 24 % of the mix; then per pair the product of the nine copies' (1 − 24 % · copy) and
    // the screen 1 − (1 − C′)·Π (the screens one after another, reassociated).
    __attribute__((target("avx2,fma"))) static void rowTogether(const float* const* r0, const float* const* r1,
                                                               const float* const* next, const float* wy, const Pairs& t,
                                                               float* blend, size_t stride, float* o) {
        const __m256 one = _mm256_set1_ps(1.0f), m24 = _mm256_set1_ps(-0.24f);
        for (int k = 0; k < 9; ++k) {
            const __m256 vy = _mm256_set1_ps(wy[k]);
            const float* a0 = r0[k] + 4 * t.base[k];
            const float* a1 = r1[k] + 4 * t.base[k];
            float* d = blend + k * stride;
            // The row after a1 is the one a later output row reaches next: fetch it on the way.
            const float* ahead = next[k] + 4 * t.base[k];
            int c = 0;
            for (; c + 2 <= t.span[k]; c += 2) {
                if ((c & 3) == 0) _mm_prefetch(reinterpret_cast<const char*>(ahead + 4 * c), _MM_HINT_T0);
                const __m256 a = _mm256_loadu_ps(a0 + 4 * c), b = _mm256_loadu_ps(a1 + 4 * c);
                _mm256_storeu_ps(d + 4 * c, _mm256_fmadd_ps(_mm256_fmadd_ps(_mm256_sub_ps(b, a), vy, a), m24, one));
            }
            for (; c < t.span[k]; ++c) {
                const __m128 a = _mm_loadu_ps(a0 + 4 * c), b = _mm_loadu_ps(a1 + 4 * c);
                const __m128 m = _mm_fmadd_ps(_mm_sub_ps(b, a), _mm256_castps256_ps128(vy), a);
                _mm_storeu_ps(d + 4 * c, _mm_fmadd_ps(m, _mm256_castps256_ps128(m24), _mm256_castps256_ps128(one)));
            }
            _mm_storeu_ps(d + 4 * c, _mm256_castps256_ps128(one));  // read by a stepping pair's last lane only
        }
        const __m256i dup = _mm256_setr_epi32(0, 1, 2, 3, 0, 1, 2, 3), same = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        for (int p = 0; p < t.pairs; ++p) {
            __m256 prod = one;
            const int* off = t.off + size_t(p) * 9;
            const int* st = t.step + size_t(p) * 9;
            const float* w = t.w + size_t(p) * 72;
            for (int k = 0; k < 9; ++k) {
                const float* m = blend + k * stride + off[k];
                const __m256i sel = st[k] ? same : dup;
                const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(m), sel);
                const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(m + 4), sel);
                prod = _mm256_mul_ps(prod, _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), _mm256_load_ps(w + 8 * k), lo));
            }
            const __m256 c = _mm256_loadu_ps(o + 8 * p);
            _mm256_storeu_ps(o + 8 * p, _mm256_fnmadd_ps(_mm256_sub_ps(one, c), prod, one));
        }
    }

    __attribute__((target("avx"))) static int spanWide(const float* r0, const float* r1, const int* cx,
                                                       const float* cw, float wy, int lo, int hi, float* o) {
        const __m256 vy = _mm256_set1_ps(wy), a24 = _mm256_set1_ps(0.24f);
        int i = lo;
        for (; i + 2 <= hi; i += 2) {
            const int xa = 4 * cx[i], xb = 4 * cx[i + 1];
            const __m256 vx = _mm256_set_m128(_mm_set1_ps(cw[i + 1]), _mm_set1_ps(cw[i]));
            const __m256 a0 = _mm256_loadu2_m128(r0 + xb, r0 + xa), a1 = _mm256_loadu2_m128(r0 + xb + 4, r0 + xa + 4);
            const __m256 b0 = _mm256_loadu2_m128(r1 + xb, r1 + xa), b1 = _mm256_loadu2_m128(r1 + xb + 4, r1 + xa + 4);
            const __m256 bot = _mm256_add_ps(a0, _mm256_mul_ps(_mm256_sub_ps(a1, a0), vx));
            const __m256 top = _mm256_add_ps(b0, _mm256_mul_ps(_mm256_sub_ps(b1, b0), vx));
            const __m256 sv = _mm256_mul_ps(_mm256_add_ps(bot, _mm256_mul_ps(_mm256_sub_ps(top, bot), vy)), a24);
            const __m256 acc = _mm256_loadu_ps(o + 4 * i);
            _mm256_storeu_ps(o + 4 * i, _mm256_sub_ps(_mm256_add_ps(sv, acc), _mm256_mul_ps(sv, acc)));
        }
        return i;
    }

    Image c_;
    PixelView v_;
    std::array<double, 9> scales_;
    double cx_, cy_;
    Rect extent_;
};

// Step 1 with the ripple kernel's formula, sampled inline: the kernel's horizontal term depends
// on the row only and its vertical term on the column only, so each is evaluated once per row
// and once per column of a tile rather than per pixel.
class RippleNode final : public engine::Node {
public:
    RippleNode(Image clamped, float amplitude, float time, const Rect& extent)
        : in_(std::move(clamped)), kernel_(amplitude, time), amplitude_(amplitude), extent_(extent) {}
    Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return in_.node().get(); }
    engine::IRect roi(int, const engine::IRect& d) const override {
        const Rect dest{double(d.x), double(d.y), double(d.w), double(d.h)};
        return engine::enclosingIRect(kernel_.roi(dest)).grown(1, 1);
    }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        const engine::IRect sr = roi(0, r);
        const float* src = ctx.pull(*in_.node(), sr);
        // Column terms from the kernel itself (row r.y), row terms from one pixel per row.
        float* sx = ctx.alloc(size_t(r.w));
        float* dyc = ctx.alloc(size_t(r.w));
        kernel_.mapRow(r.x, r.y, r.w, sx, dyc);
        const float py0 = float(r.y) + 0.5f;
        for (int i = 0; i < r.w; ++i) dyc[i] -= py0;
        for (int j = 0; j < r.h; ++j) {
            float x1, y1;
            kernel_.mapRow(r.x, r.y + j, 1, &x1, &y1);
            const float dx = x1 - (float(r.x) + 0.5f);
            const float py = float(r.y + j) + 0.5f;
            float* o = out + size_t(j) * r.w * 4;
            for (int i = 0; i < r.w; ++i) {
                const float fx = (float(r.x + i) + 0.5f) + dx - 0.5f, fy = py + dyc[i] - 0.5f;
                const float flx = std::floor(fx), fly = std::floor(fy);
                const int x0 = int(flx) - sr.x, y0 = int(fly) - sr.y;
                const float wx = fx - flx, wy = fy - fly;
                if (x0 >= 0 && y0 >= 0 && x0 + 1 < sr.w && y0 + 1 < sr.h) {
                    const float* p0 = src + (size_t(y0) * sr.w + x0) * 4;
                    const float* p1 = p0 + size_t(sr.w) * 4;
                    const __m128 vx = _mm_set1_ps(wx), vy = _mm_set1_ps(wy);
                    const __m128 a0 = _mm_loadu_ps(p0), a1 = _mm_loadu_ps(p0 + 4);
                    const __m128 b0 = _mm_loadu_ps(p1), b1 = _mm_loadu_ps(p1 + 4);
                    const __m128 bot = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
                    const __m128 top = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(b1, b0), vx));
                    _mm_storeu_ps(o + 4 * i, _mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy)));
                } else {
                    engine::detail::sampleBilinear(src, sr, fx + 0.5, fy + 0.5, o + 4 * i);
                }
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    Image in_;
    DreamRippleKernel kernel_;
    float amplitude_;
    Rect extent_;
};

Image scaledAbout(const Image& in, double s, double cx, double cy) {
    return in.transformed(engine::Affine::translation(-cx, -cy)
                              .then(engine::Affine::scale(s, s))
                              .then(engine::Affine::translation(cx, cy)));
}
}  // namespace

const Image& echo() { return echoSlot(); }
void resetEchoForTesting() { echoSlot() = Image(); }

}  // namespace dream

Image renderDreamSequence(const Image& image, double t) {
    using namespace dream;
    const Rect E = image.extent();
    const double W = E.w, H = E.h, midX = E.x + W / 2, midY = E.y + H / 2;

    // 1. Ripple. Both sines of the kernel repeat every 20π seconds, so the time is handed over
    // reduced by that period: single precision cannot hold seconds since 2001 finely enough to
    // animate (it steps by a minute), while the reduced value gives the same formula exactly.
    Image picture = image;
    {
        const float time = float(std::fmod(t, 20 * M_PI));
        Image rippled = straightforwardChains() || image.isNull()
                            ? applyWarp(image, std::make_shared<DreamRippleKernel>(9.0f, time))
                            : Image(std::make_shared<RippleNode>(image.clampedToExtent(), 9.0f, time, image.extent()));
        if (!rippled.isNull()) picture = rippled.cropped(E);
    }

    // 2–4. Grade, gamma, hue drift.
    Image G;
    if (engine::PixelOpPtr op = straightforwardChains() || picture.isNull() ? nullptr : gradeGammaHueOp(0.92, 0.015, 0.88, 0.9, hueAngle(t))) {
        G = picture.pixelOp(std::move(op));
    } else {
        G = filters::colorControls(picture, 0.92, 0.015, 0.88);
        G = straightforwardChains() ? filters::gammaAdjust(G, 0.9) : G.pixelOp(wideGammaOp(0.9f));
        G = filters::hueAdjust(G, hueAngle(t));
    }
    // G is read by the glow's blur and as its background: evaluate it once.
    G = materialize(G);

    // 5–7. Glow, bloom and colour fringe.
    const bool fast = !straightforwardChains();
    const double o = fringeOffset(t);
    Image Cp;
    Image C = fast ? glowBloomFringe(G, o, E, echoSlot(), Cp) : Image();
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
    if (Cp.isNull()) Cp = echoSlot().isNull() ? C : materialize(alphaScaled(echoSlot(), 0.16).composited(C).cropped(E));
    echoSlot() = C;

    // 9. Zoom burst.
    Image acc = Cp;
    if (const PixelView v = pixelsOf(Cp); v && fast) {
        std::array<double, 9> scales;
        for (int k = 1; k <= 9; ++k) scales[size_t(k - 1)] = burstScale(k, t);
        acc = materialize(Image(std::make_shared<BurstNode>(Cp, v, scales, midX, midY, E)));
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
    if (fast && !acc.isNull()) {
        // All eleven screened in one pass over the drifted picture.
        std::vector<Light> lights;
        auto rgba = [](const Color& c) { return std::array<float, 4>{c.r, c.g, c.b, c.a}; };
        for (int i = 0; i < 10; ++i) {
            const Orb& orb = orbs()[size_t(i)];
            const engine::Point c = orbCentre(i, E, t);
            const double r1 = orb.size * W;
            lights.push_back({c.x, c.y, 0.2 * r1, r1, rgba(Color::fromSRGB(orb.r, orb.g, orb.b, orb.a)),
                              rgba(Color::fromSRGB(orb.r, orb.g, orb.b, 0))});
        }
        lights.push_back({warm.x, warm.y, 0.1 * W, 0.75 * W, rgba(warmInner), rgba(warmOuter)});
        acc = screenLights(acc.cropped(E), std::move(lights), E);
    } else {
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
    }

    // 13. Vignette.
    acc = filters::vignette(acc, 0.55, 1.9);

    // 14. Sparkles.
    const int wp = std::max(1, int(std::lround(W))), hp = std::max(1, int(std::lround(H)));
    const QImage sp = sparkles(wp, hp, t);
    if (!sp.isNull()) {
        // The bitmap covers the extent, its top row at the extent's top.
        const Image bitmap = Image::fromQImage(sp).translated(E.x, E.y);
        if (!fast) {
            acc = bitmap.composited(acc);
        } else {
            // Only the squares about the sparkles hold anything: the rest is transparent, and
            // putting it over the picture would change nothing.
            for (const Sparkle& s : sparkleCircles(sp.width(), sp.height(), t)) {
                const double x0 = std::floor(s.cx - s.r) - 2, y0 = std::floor(sp.height() - s.cy - s.r) - 2;
                const double side = std::ceil(2 * s.r) + 5;
                acc = bitmap.cropped({E.x + x0, E.y + y0, side, side}).composited(acc);
            }
        }
    }
    return acc.cropped(E);
}

}  // namespace ostrela::effects
