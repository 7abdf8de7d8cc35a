// Separable Gaussian blur over tiles. Both passes are written as loops over contiguous floats so
// the compiler vectorises them; symmetric taps are paired to halve the multiplies.
#include "pipeline/engine/Cpu.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>

namespace ostrela::engine {

namespace {

// The plain passes are loops the compiler vectorises; where the processor has AVX2 and FMA the
// passes below keep a block of outputs in registers over all taps, so each tap costs two loads
// and no store (the loops that add one tap at a time are bound by loads and stores of the sums).
#define OSTRELA_WIDE_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))

// n floats of out from the centre row c: w0·c + Σ wi·(c − i·step + c + i·step).
// The same sums sixteen lanes at a time (each lane's operations unchanged); returns how many
// floats it wrote.
__attribute__((target("avx512f"))) size_t taps16(const float* c, size_t step, int r, const float* w, size_t n,
                                                 float* __restrict o) {
    size_t j = 0;
    const __m512 w0 = _mm512_set1_ps(w[0]);
    for (; j + 64 <= n; j += 64) {
        __m512 s0 = _mm512_mul_ps(w0, _mm512_loadu_ps(c + j)), s1 = _mm512_mul_ps(w0, _mm512_loadu_ps(c + j + 16));
        __m512 s2 = _mm512_mul_ps(w0, _mm512_loadu_ps(c + j + 32)), s3 = _mm512_mul_ps(w0, _mm512_loadu_ps(c + j + 48));
        const float* a = c + j;
        const float* b = c + j;
        for (int i = 1; i <= r; ++i) {
            a -= step;
            b += step;
            const __m512 wi = _mm512_set1_ps(w[i]);
            s0 = _mm512_fmadd_ps(wi, _mm512_add_ps(_mm512_loadu_ps(a), _mm512_loadu_ps(b)), s0);
            s1 = _mm512_fmadd_ps(wi, _mm512_add_ps(_mm512_loadu_ps(a + 16), _mm512_loadu_ps(b + 16)), s1);
            s2 = _mm512_fmadd_ps(wi, _mm512_add_ps(_mm512_loadu_ps(a + 32), _mm512_loadu_ps(b + 32)), s2);
            s3 = _mm512_fmadd_ps(wi, _mm512_add_ps(_mm512_loadu_ps(a + 48), _mm512_loadu_ps(b + 48)), s3);
        }
        _mm512_storeu_ps(o + j, s0);
        _mm512_storeu_ps(o + j + 16, s1);
        _mm512_storeu_ps(o + j + 32, s2);
        _mm512_storeu_ps(o + j + 48, s3);
    }
    return j;
}

__attribute__((target("avx2,fma"))) void tapsWide(const float* c, size_t step, int r, const float* w, size_t n,
                                                   float* __restrict o) {
    size_t j = cpu::hasAvx512() ? taps16(c, step, r, w, n, o) : 0;
    const __m256 w0 = _mm256_set1_ps(w[0]);
    for (; j + 32 <= n; j += 32) {
        __m256 s0 = _mm256_mul_ps(w0, _mm256_loadu_ps(c + j)), s1 = _mm256_mul_ps(w0, _mm256_loadu_ps(c + j + 8));
        __m256 s2 = _mm256_mul_ps(w0, _mm256_loadu_ps(c + j + 16)), s3 = _mm256_mul_ps(w0, _mm256_loadu_ps(c + j + 24));
        const float* a = c + j;
        const float* b = c + j;
        for (int i = 1; i <= r; ++i) {
            a -= step;
            b += step;
            const __m256 wi = _mm256_set1_ps(w[i]);
            s0 = _mm256_fmadd_ps(wi, _mm256_add_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b)), s0);
            s1 = _mm256_fmadd_ps(wi, _mm256_add_ps(_mm256_loadu_ps(a + 8), _mm256_loadu_ps(b + 8)), s1);
            s2 = _mm256_fmadd_ps(wi, _mm256_add_ps(_mm256_loadu_ps(a + 16), _mm256_loadu_ps(b + 16)), s2);
            s3 = _mm256_fmadd_ps(wi, _mm256_add_ps(_mm256_loadu_ps(a + 24), _mm256_loadu_ps(b + 24)), s3);
        }
        _mm256_storeu_ps(o + j, s0);
        _mm256_storeu_ps(o + j + 8, s1);
        _mm256_storeu_ps(o + j + 16, s2);
        _mm256_storeu_ps(o + j + 24, s3);
    }
    for (; j + 8 <= n; j += 8) {
        __m256 s0 = _mm256_mul_ps(w0, _mm256_loadu_ps(c + j));
        for (int i = 1; i <= r; ++i)
            s0 = _mm256_fmadd_ps(_mm256_set1_ps(w[i]), _mm256_add_ps(_mm256_loadu_ps(c + j - i * step), _mm256_loadu_ps(c + j + i * step)), s0);
        _mm256_storeu_ps(o + j, s0);
    }
    for (; j < n; j += 4) {  // n is a whole number of pixels
        __m128 s0 = _mm_mul_ps(_mm256_castps256_ps128(w0), _mm_loadu_ps(c + j));
        for (int i = 1; i <= r; ++i)
            s0 = _mm_fmadd_ps(_mm_set1_ps(w[i]), _mm_add_ps(_mm_loadu_ps(c + j - i * step), _mm_loadu_ps(c + j + i * step)), s0);
        _mm_storeu_ps(o + j, s0);
    }
}

// out (outW × rows) from src ((outW + 2r) × rows, rows srcStride floats apart).
OSTRELA_WIDE_CLONES void horizontalPass(const float* __restrict src, size_t srcStride, int outW, int rows, int r, const float* w,
                                        float* __restrict out) {
    const size_t n = size_t(outW) * 4;
    if (cpu::hasAvx2Fma()) {
        for (int y = 0; y < rows; ++y) tapsWide(src + y * srcStride + 4 * r, 4, r, w, n, out + y * n);
        return;
    }
    for (int y = 0; y < rows; ++y) {
        const float* s = src + y * srcStride;
        float* __restrict o = out + y * n;
        const float* c = s + 4 * r;
        const float w0 = w[0];
        for (size_t j = 0; j < n; ++j) o[j] = w0 * c[j];
        for (int i = 1; i <= r; ++i) {
            const float wi = w[i];
            const float* __restrict a = c - 4 * i;
            const float* __restrict b = c + 4 * i;
            for (size_t j = 0; j < n; ++j) o[j] += wi * (a[j] + b[j]);
        }
    }
}

// out (W × outRows, rows outStride floats apart) from src (W × (outRows + 2r)).
OSTRELA_WIDE_CLONES void verticalPass(const float* __restrict src, int W, int outRows, int r, const float* w, float* __restrict out,
                                      size_t outStride) {
    const size_t n = size_t(W) * 4;
    if (cpu::hasAvx2Fma()) {
        for (int y = 0; y < outRows; ++y) tapsWide(src + size_t(y + r) * n, n, r, w, n, out + size_t(y) * outStride);
        return;
    }
    for (int y = 0; y < outRows; ++y) {
        const float* c = src + size_t(y + r) * n;
        float* __restrict o = out + size_t(y) * outStride;
        const float w0 = w[0];
        for (size_t j = 0; j < n; ++j) o[j] = w0 * c[j];
        for (int i = 1; i <= r; ++i) {
            const float wi = w[i];
            const float* __restrict a = c - i * n;
            const float* __restrict b = c + i * n;
            for (size_t j = 0; j < n; ++j) o[j] += wi * (a[j] + b[j]);
        }
    }
}

// Both passes, out (outW × outRows) from src ((outW + 2r) × (outRows + 2r), rows srcStride apart),
// in strips of columns so the intermediate rows of a strip stay in the core's cache for the
// vertical pass (a whole tile's worth of them does not fit).
void separable(const float* src, size_t srcStride, int outW, int outRows, int r, const float* w, float* tmp, float* out) {
    constexpr int kStrip = 128;
    for (int x0 = 0; x0 < outW; x0 += kStrip) {
        const int sw = std::min(kStrip, outW - x0);
        horizontalPass(src + size_t(x0) * 4, srcStride, sw, outRows + 2 * r, r, w, tmp);
        verticalPass(tmp, sw, outRows, r, w, out + size_t(x0) * 4, size_t(outW) * 4);
    }
}

}  // namespace

double BlurNode::gridSigma(double sigma, int k) {
    if (k <= 1) return sigma;
    // Box reduction adds (k²−1)/12 and bilinear expansion about k²/6 of variance.
    const double k2 = double(k) * k;
    const double v = sigma * sigma - (k2 - 1) / 12.0 - k2 / 6.0;
    return std::sqrt(std::max(v, 0.25 * k2)) / k;
}

BlurNode::Grid BlurNode::gridRange(int lo, int hi, int k) {
    return {int(std::floor((lo + 0.5) / k - 0.5)), int(std::floor((hi - 0.5) / k - 0.5)) + 1};
}

BlurNode::BlurNode(NodePtr in, double sigma) : in_(std::move(in)), sigma_(sigma) {
    k_ = reductionFor(sigma);
    const double s = gridSigma(sigma, k_);
    radius_ = gridRadius(s);
    weights_.resize(radius_ + 1);
    double sum = 0;
    for (int i = 0; i <= radius_; ++i) {
        double g = std::exp(-0.5 * i * i / (s * s));
        weights_[i] = float(g);
        sum += i == 0 ? g : 2 * g;
    }
    for (float& g : weights_) g = float(g / sum);
}

Rect BlurNode::extent() const {
    double m = k_ == 1 ? radius_ : double(k_) * (radius_ + 2);
    return in_->extent().insetBy(-m, -m);
}

IRect BlurNode::roi(int, const IRect& d) const {
    if (k_ == 1) return d.grown(radius_, radius_);
    Grid gx = gridFor(d.x, d.maxX()), gy = gridFor(d.y, d.maxY());
    int x0 = k_ * (gx.u0 - radius_), x1 = k_ * (gx.u1 + radius_ + 1);
    int y0 = k_ * (gy.u0 - radius_), y1 = k_ * (gy.u1 + radius_ + 1);
    return {x0, y0, x1 - x0, y1 - y0};
}

namespace {

// One grid row of a 2× box reduction: nx grid pixels from two source rows.
__attribute__((target("avx2,fma"))) void boxRow2Wide(const float* s0, const float* s1, int nx, float* d) {
    const __m256 q = _mm256_set1_ps(0.25f);
    int u = 0;
    for (; u + 2 <= nx; u += 2) {
        const __m256 a = _mm256_add_ps(_mm256_loadu_ps(s0 + 8 * u), _mm256_loadu_ps(s1 + 8 * u));
        const __m256 b = _mm256_add_ps(_mm256_loadu_ps(s0 + 8 * u + 8), _mm256_loadu_ps(s1 + 8 * u + 8));
        const __m256 lo = _mm256_permute2f128_ps(a, b, 0x20), hi = _mm256_permute2f128_ps(a, b, 0x31);
        _mm256_storeu_ps(d + 4 * u, _mm256_mul_ps(_mm256_add_ps(lo, hi), q));
    }
    for (; u < nx; ++u) {
        const __m256 a = _mm256_add_ps(_mm256_loadu_ps(s0 + 8 * u), _mm256_loadu_ps(s1 + 8 * u));
        const __m128 v = _mm_add_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
        _mm_storeu_ps(d + 4 * u, _mm_mul_ps(v, _mm256_castps256_ps128(q)));
    }
}

// One output row of the bilinear expansion: the two grid rows mixed by wy first, into `mix`
// (nu pixels), then pairs of output pixels read from it. Regular columns (none clamped, k = 2)
// pair up as two overlapping loads of the mixed row: an even pixel 2u reads grid pixels u − 1
// and u at ¾, an odd one u and u + 1 at ¼.
// The same two steps sixteen lanes wide: grid pixels four at a time, then output pixels four
// at a time (two regular pairs from one load of four mixed pixels); the same operations lane for
// lane. Each returns how far it got.
__attribute__((target("avx512f"))) int mixRows16(const float* l0, const float* l1, int nu, float wy, float* mix) {
    const __m512 vy = _mm512_set1_ps(wy);
    int u = 0;
    for (; u + 4 <= nu; u += 4) {
        const __m512 a = _mm512_loadu_ps(l0 + 4 * u), b = _mm512_loadu_ps(l1 + 4 * u);
        _mm512_storeu_ps(mix + 4 * u, _mm512_fmadd_ps(_mm512_sub_ps(b, a), vy, a));
    }
    return u;
}
__attribute__((target("avx512f"))) int regularPairs16(const float* mix, int nu, const int* cx, int i, int n, float* o) {
    const __m512 w = _mm512_setr_ps(0.75f, 0.75f, 0.75f, 0.75f, 0.25f, 0.25f, 0.25f, 0.25f, 0.75f, 0.75f, 0.75f, 0.75f, 0.25f, 0.25f, 0.25f, 0.25f);
    for (; i + 4 <= n && cx[i] + 4 <= nu; i += 4) {
        const __m512 v = _mm512_loadu_ps(mix + 4 * cx[i]);  // mixed pixels c … c + 3
        const __m512 lo = _mm512_maskz_shuffle_f32x4(0xFFFF, v, v, 0x94), hi = _mm512_maskz_shuffle_f32x4(0xFFFF, v, v, 0xE9);
        _mm512_storeu_ps(o + 4 * i, _mm512_fmadd_ps(_mm512_sub_ps(hi, lo), w, lo));
    }
    return i;
}

__attribute__((target("avx2,fma"))) void expandRowWide(const float* l0, const float* l1, int nu, float wy, const int* cx,
                                                       const float* cw, int n, bool regular, bool odd, float* mix, float* o) {
    const __m256 vy = _mm256_set1_ps(wy);
    const bool wide16 = cpu::hasAvx512();
    int u = wide16 ? mixRows16(l0, l1, nu, wy, mix) : 0;
    for (; u + 2 <= nu; u += 2) {
        const __m256 a = _mm256_loadu_ps(l0 + 4 * u), b = _mm256_loadu_ps(l1 + 4 * u);
        _mm256_storeu_ps(mix + 4 * u, _mm256_fmadd_ps(_mm256_sub_ps(b, a), vy, a));
    }
    for (; u < nu; ++u) {
        const __m128 a = _mm_loadu_ps(l0 + 4 * u), b = _mm_loadu_ps(l1 + 4 * u);
        _mm_storeu_ps(mix + 4 * u, _mm_fmadd_ps(_mm_sub_ps(b, a), _mm256_castps256_ps128(vy), a));
    }
    int i = 0;
    if (regular) {
        if (odd && n > 0) {
            const __m128 a = _mm_loadu_ps(mix + 4 * cx[0]), b = _mm_loadu_ps(mix + 4 * cx[0] + 4);
            _mm_storeu_ps(o, _mm_fmadd_ps(_mm_sub_ps(b, a), _mm_set1_ps(cw[0]), a));
            i = 1;
        }
        const __m256 w = _mm256_setr_ps(0.75f, 0.75f, 0.75f, 0.75f, 0.25f, 0.25f, 0.25f, 0.25f);
        if (wide16) i = regularPairs16(mix, nu, cx, i, n, o);
        for (; i + 2 <= n; i += 2) {
            const float* m = mix + 4 * cx[i];
            const __m256 lo = _mm256_loadu_ps(m), hi = _mm256_loadu_ps(m + 4);
            _mm256_storeu_ps(o + 4 * i, _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), w, lo));
        }
    }
    for (; i + 2 <= n; i += 2) {
        const __m256 p = _mm256_loadu_ps(mix + 4 * cx[i]), q = _mm256_loadu_ps(mix + 4 * cx[i + 1]);
        const __m256 lo = _mm256_permute2f128_ps(p, q, 0x20), hi = _mm256_permute2f128_ps(p, q, 0x31);
        const __m256 w = _mm256_setr_m128(_mm_set1_ps(cw[i]), _mm_set1_ps(cw[i + 1]));
        _mm256_storeu_ps(o + 4 * i, _mm256_fmadd_ps(_mm256_sub_ps(hi, lo), w, lo));
    }
    for (; i < n; ++i) {
        const __m128 a = _mm_loadu_ps(mix + 4 * cx[i]), b = _mm_loadu_ps(mix + 4 * cx[i] + 4);
        _mm_storeu_ps(o + 4 * i, _mm_fmadd_ps(_mm_sub_ps(b, a), _mm_set1_ps(cw[i]), a));
    }
}

}  // namespace

namespace detail {

GridExpansion::GridExpansion(TileContext& ctx, int k, int gridX, int gridW, int x0, int n) : nu_(gridW), n_(n) {
    cx_ = reinterpret_cast<int*>(ctx.alloc(size_t(n) * 2));
    cw_ = ctx.alloc(size_t(n));
    regular_ = k == 2 && gridW > 1;
    for (int i = 0; i < n; ++i) {
        const double f = (x0 + i + 0.5) / k - 0.5, fl = std::floor(f);
        cx_[i] = std::clamp(int(fl) - gridX, 0, std::max(gridW - 2, 0));
        cw_[i] = float(f - fl);
        regular_ = regular_ && cx_[i] == int(fl) - gridX;
    }
    odd_ = (x0 & 1) != 0;
    if (cpu::hasAvx2Fma() && gridW > 1) mix_ = ctx.alloc(size_t(gridW) * 4 + 8);
}

void GridExpansion::row(const float* l0, const float* l1, float wy, float* o) const {
    if (mix_) {
        expandRowWide(l0, l1, nu_, wy, cx_, cw_, n_, regular_, odd_, mix_, o);
        return;
    }
    const __m128 vy = _mm_set1_ps(wy);
    for (int i = 0; i < n_; ++i) {
        const int u = cx_[i] * 4, u1 = nu_ > 1 ? u + 4 : u;
        const __m128 vx = _mm_set1_ps(cw_[i]);
        __m128 a0 = _mm_loadu_ps(l0 + u), a1 = _mm_loadu_ps(l0 + u1);
        __m128 b0 = _mm_loadu_ps(l1 + u), b1 = _mm_loadu_ps(l1 + u1);
        __m128 bot = _mm_add_ps(a0, _mm_mul_ps(_mm_sub_ps(a1, a0), vx));
        __m128 top = _mm_add_ps(b0, _mm_mul_ps(_mm_sub_ps(b1, b0), vx));
        _mm_storeu_ps(o + 4 * i, _mm_add_ps(bot, _mm_mul_ps(_mm_sub_ps(top, bot), vy)));
    }
}

}  // namespace detail

void BlurNode::render(TileContext& ctx, const IRect& r, float* out) const {
    const IRect sr = roi(0, r);
    renderFrom(ctx, r, ctx.pull(*in_, sr), size_t(sr.w) * 4, out);
}

void BlurNode::renderFrom(TileContext& ctx, const IRect& r, const float* src, size_t stride, float* out) const {
    const IRect sr = roi(0, r);
    const float* w = weights_.data();
    const int R = radius_;
    const bool wide = cpu::hasAvx2Fma();
    if (k_ == 1) {
        float* tmp = ctx.alloc(size_t(std::min(r.w, 128)) * sr.h * 4);
        separable(src, stride, r.w, r.h, R, w, tmp, out);
        return;
    }
    const int k = k_;
    Grid gx = gridFor(r.x, r.maxX()), gy = gridFor(r.y, r.maxY());
    const int nu = gx.u1 - gx.u0 + 1, nv = gy.u1 - gy.u0 + 1;
    const int NX = nu + 2 * R, NY = nv + 2 * R;
    // Box reduction onto the grid anchored at multiples of k.
    float* down = ctx.alloc(size_t(NX) * NY * 4);
    const float inv = 1.0f / float(k * k);
    for (int v = 0; v < NY; ++v) {
        float* d = down + size_t(v) * NX * 4;
        if (k == 2 && wide) {
            const float* s0 = src + size_t(2 * v) * stride;
            boxRow2Wide(s0, s0 + stride, NX, d);
            continue;
        }
        std::memset(d, 0, size_t(NX) * 4 * sizeof(float));
        for (int yy = 0; yy < k; ++yy) {
            const float* s = src + size_t(v * k + yy) * stride;
            for (int u = 0; u < NX; ++u) {
                __m128 acc = _mm_loadu_ps(d + 4 * u);
                for (int xx = 0; xx < k; ++xx) acc = _mm_add_ps(acc, _mm_loadu_ps(s + (u * k + xx) * 4));
                _mm_storeu_ps(d + 4 * u, acc);
            }
        }
        for (size_t j = 0; j < size_t(NX) * 4; ++j) d[j] *= inv;
    }
    float* tmp = ctx.alloc(size_t(std::min(nu, 128)) * NY * 4);
    float* low = ctx.alloc(size_t(nu) * nv * 4);
    separable(down, size_t(NX) * 4, nu, nv, R, w, tmp, low);
    // Bilinear expansion back to full resolution.
    const detail::GridExpansion expand(ctx, k, gx.u0, nu, r.x, r.w);
    for (int j = 0; j < r.h; ++j) {
        double f = (r.y + j + 0.5) / k - 0.5;
        double fl = std::floor(f);
        int v0 = std::clamp(int(fl) - gy.u0, 0, std::max(nv - 2, 0));
        float wy = float(f - fl);
        const float* l0 = low + size_t(v0) * nu * 4;
        const float* l1 = l0 + (nv > 1 ? size_t(nu) * 4 : 0);
        expand.row(l0, l1, wy, out + size_t(j) * r.w * 4);
    }
}

}  // namespace ostrela::engine
