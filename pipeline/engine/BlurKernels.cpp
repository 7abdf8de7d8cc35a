// The blur's inner loops, written once for every vector target: the symmetric taps of both
// separable passes, the 2× box reduction and the bilinear expansion of the reduced grid. Every
// output value goes through the same operations whichever part of a row it falls in, so tiles of
// any width agree to the bit.
#include "pipeline/engine/Kernels.h"

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/engine/BlurKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// A block of outputs stays in registers over all taps, so each tap costs two loads and no store
// (adding one tap at a time over a row is bound by the loads and stores of the sums).
void SymmetricTaps(const float* c, size_t step, int r, const float* w, size_t n, float* HWY_RESTRICT o) {
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    const auto w0 = hn::Set(d, w[0]);
    size_t j = 0;
    for (; j + 4 * N <= n; j += 4 * N) {
        auto s0 = hn::Mul(w0, hn::LoadU(d, c + j)), s1 = hn::Mul(w0, hn::LoadU(d, c + j + N));
        auto s2 = hn::Mul(w0, hn::LoadU(d, c + j + 2 * N)), s3 = hn::Mul(w0, hn::LoadU(d, c + j + 3 * N));
        const float* a = c + j;
        const float* b = c + j;
        for (int i = 1; i <= r; ++i) {
            a -= step;
            b += step;
            const auto wi = hn::Set(d, w[i]);
            s0 = hn::MulAdd(wi, hn::Add(hn::LoadU(d, a), hn::LoadU(d, b)), s0);
            s1 = hn::MulAdd(wi, hn::Add(hn::LoadU(d, a + N), hn::LoadU(d, b + N)), s1);
            s2 = hn::MulAdd(wi, hn::Add(hn::LoadU(d, a + 2 * N), hn::LoadU(d, b + 2 * N)), s2);
            s3 = hn::MulAdd(wi, hn::Add(hn::LoadU(d, a + 3 * N), hn::LoadU(d, b + 3 * N)), s3);
        }
        hn::StoreU(s0, d, o + j);
        hn::StoreU(s1, d, o + j + N);
        hn::StoreU(s2, d, o + j + 2 * N);
        hn::StoreU(s3, d, o + j + 3 * N);
    }
    for (; j + N <= n; j += N) {
        auto s = hn::Mul(w0, hn::LoadU(d, c + j));
        for (int i = 1; i <= r; ++i)
            s = hn::MulAdd(hn::Set(d, w[i]), hn::Add(hn::LoadU(d, c + j - i * step), hn::LoadU(d, c + j + i * step)), s);
        hn::StoreU(s, d, o + j);
    }
    // n is a whole number of pixels.
    const hn::CappedTag<float, 4> d4;
    for (; j < n; j += hn::Lanes(d4)) {
        auto s = hn::Mul(hn::Set(d4, w[0]), hn::LoadU(d4, c + j));
        for (int i = 1; i <= r; ++i)
            s = hn::MulAdd(hn::Set(d4, w[i]), hn::Add(hn::LoadU(d4, c + j - i * step), hn::LoadU(d4, c + j + i * step)), s);
        hn::StoreU(s, d4, o + j);
    }
}

// d[u] = ¼·((s0[2u] + s1[2u]) + (s0[2u + 1] + s1[2u + 1])), pixels of four floats.
void BoxRow2(const float* s0, const float* s1, int nx, float* dst) {
#if HWY_TARGET == HWY_SCALAR
    for (int u = 0; u < nx; ++u)
        for (int ch = 0; ch < 4; ++ch)
            dst[4 * u + ch] = ((s0[8 * u + ch] + s1[8 * u + ch]) + (s0[8 * u + 4 + ch] + s1[8 * u + 4 + ch])) * 0.25f;
#else
    const hn::ScalableTag<float> d;
    const int N = int(hn::Lanes(d));
    using V = hn::Vec<decltype(d)>;
    const V q = hn::Set(d, 0.25f);
    // N grid pixels from 2N source pixels of each row, as planes: even and odd source pixels added.
    const auto block = [&](const float* a0, const float* a1, float* out) {
        V r0, g0, b0, x0, r1, g1, b1, x1, r2, g2, b2, x2, r3, g3, b3, x3;
        hn::LoadInterleaved4(d, a0, r0, g0, b0, x0);
        hn::LoadInterleaved4(d, a0 + 4 * N, r1, g1, b1, x1);
        hn::LoadInterleaved4(d, a1, r2, g2, b2, x2);
        hn::LoadInterleaved4(d, a1 + 4 * N, r3, g3, b3, x3);
        const auto pair = [&](V lo0, V hi0, V lo1, V hi1) {
            const V lo = hn::Add(lo0, lo1), hi = hn::Add(hi0, hi1);  // the two rows
            return hn::Mul(hn::Add(hn::ConcatEven(d, hi, lo), hn::ConcatOdd(d, hi, lo)), q);
        };
        hn::StoreInterleaved4(pair(r0, r1, r2, r3), pair(g0, g1, g2, g3), pair(b0, b1, b2, b3), pair(x0, x1, x2, x3), d,
                              out);
    };
    int u = 0;
    for (; u + N <= nx; u += N) block(s0 + 8 * u, s1 + 8 * u, dst + 4 * u);
    if (u < nx) {
        HWY_ALIGN float t0[8 * hn::MaxLanes(d)] = {}, t1[8 * hn::MaxLanes(d)] = {}, out[4 * hn::MaxLanes(d)];
        std::memcpy(t0, s0 + 8 * u, size_t(nx - u) * 8 * sizeof(float));
        std::memcpy(t1, s1 + 8 * u, size_t(nx - u) * 8 * sizeof(float));
        block(t0, t1, out);
        std::memcpy(dst + 4 * u, out, size_t(nx - u) * 4 * sizeof(float));
    }
#endif
}

void ExpandRow(const float* l0, const float* l1, int nu, float wy, const int* cx, const float* cw, int n, bool regular,
               bool odd, float* mix, float* o) {
    const hn::CappedTag<float, 4> d4;
    const size_t N4 = hn::Lanes(d4);
    // The two grid rows mixed first.
    LerpFloats(l0, l1, size_t(nu) * 4, wy, mix);
    const size_t next = nu > 1 ? 4 : 0;
    // One output pixel from mixed pixels cx and cx + 1.
    const auto pixel = [&](int i) {
        const float* p = mix + 4 * cx[i];
        for (size_t ch = 0; ch < 4; ch += N4) {
            const auto a = hn::LoadU(d4, p + ch);
            hn::StoreU(hn::MulAdd(hn::Sub(hn::LoadU(d4, p + next + ch), a), hn::Set(d4, cw[i]), a), d4, o + 4 * i + ch);
        }
    };
    int i = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    // A register of at least two pixels (an even and an odd one).
    if (regular && N >= 8) {
        // From an even pixel on, output pixel i + b reads mixed pixels c + ⌈b/2⌉ and the one after
        // at ¾ for even b and ¼ for odd: one load of mixed pixels gives a register of outputs.
        if (odd && n > 0) pixel(i++);
        const hn::RebindToSigned<decltype(d)> di;
        const int P = int(N / 4);  // pixels a register
        HWY_ALIGN int32_t at[hn::MaxLanes(d)];
        HWY_ALIGN float wt[hn::MaxLanes(d)];
        for (size_t l = 0; l < N; ++l) {
            const size_t b = l / 4;
            at[l] = int32_t(4 * ((b + 1) / 2) + l % 4);
            wt[l] = b % 2 == 0 ? 0.75f : 0.25f;
        }
        const auto idx = hn::IndicesFromVec(d, hn::Load(di, at));
        const auto w = hn::Load(d, wt);
        // The second load reads P mixed pixels from c + 1 on.
        for (; i + P <= n && cx[i] + 1 + P <= nu; i += P) {
            const float* p = mix + 4 * cx[i];
            const auto lo = hn::TableLookupLanes(hn::LoadU(d, p), idx);
            const auto hi = hn::TableLookupLanes(hn::LoadU(d, p + 4), idx);
            hn::StoreU(hn::MulAdd(hn::Sub(hi, lo), w, lo), d, o + 4 * i);
        }
    }
#else
    (void)regular;
    (void)odd;
#endif
    for (; i < n; ++i) pixel(i);
}

}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::engine {
HWY_EXPORT(SymmetricTaps);
HWY_EXPORT(BoxRow2);
HWY_EXPORT(ExpandRow);
namespace kernels {
void symmetricTaps(const float* c, size_t step, int r, const float* w, size_t n, float* o) {
    HWY_DYNAMIC_DISPATCH(SymmetricTaps)(c, step, r, w, n, o);
}
void boxRow2(const float* s0, const float* s1, int nx, float* d) { HWY_DYNAMIC_DISPATCH(BoxRow2)(s0, s1, nx, d); }
void expandRow(const float* l0, const float* l1, int nu, float wy, const int* cx, const float* cw, int n, bool regular,
               bool odd, float* mix, float* o) {
    HWY_DYNAMIC_DISPATCH(ExpandRow)(l0, l1, nu, wy, cx, cw, n, regular, odd, mix, o);
}
}  // namespace kernels
}  // namespace ostrela::engine
#endif
