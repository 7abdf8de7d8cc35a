// Dream Sequence's zoom-burst rows. A register's pixels go through the same operations
// as a single pixel's, so a pixel's value never depends on where in a row or tile it falls.
#include "effects/DreamWarpKernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/DreamWarpKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/cache_control.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::dream::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
using DI = hn::RebindToSigned<DF>;

void ScreenCopyRow(const float* r0, const float* r1, const int* cx, const float* cw, float wy, int lo, int hi, float* o) {
    for (int i = lo; i < hi; ++i) {
        const float* q0 = r0 + 4 * cx[i];
        const float* q1 = r1 + 4 * cx[i];
        float* p = o + 4 * i;
#if HWY_TARGET == HWY_SCALAR
        for (int c = 0; c < 4; ++c) {
            const float bot = (q0[4 + c] - q0[c]) * cw[i] + q0[c], top = (q1[4 + c] - q1[c]) * cw[i] + q1[c];
            const float sv = ((top - bot) * wy + bot) * 0.24f;
            p[c] = (sv + p[c]) - sv * p[c];
        }
#else
        const hn::Full128<float> d;
        const auto a0 = hn::LoadU(d, q0), a1 = hn::LoadU(d, q0 + 4), b0 = hn::LoadU(d, q1), b1 = hn::LoadU(d, q1 + 4);
        const auto vx = hn::Set(d, cw[i]);
        const auto bot = hn::MulAdd(hn::Sub(a1, a0), vx, a0), top = hn::MulAdd(hn::Sub(b1, b0), vx, b0);
        const auto sv = hn::Mul(hn::MulAdd(hn::Sub(top, bot), hn::Set(d, wy), bot), hn::Set(d, 0.24f));
        const auto acc = hn::LoadU(d, p);
        hn::StoreU(hn::Sub(hn::Add(sv, acc), hn::Mul(sv, acc)), d, p);
#endif
    }
}

int BurstLanes() { return int(hn::Lanes(DF())); }

HWY_INLINE void PrefetchBytes(const void* p, size_t bytes) {
    for (size_t b = 0; b < bytes; b += 64) hwy::Prefetch(static_cast<const char*>(p) + b);
}

HWY_INLINE VF LoadAsFloat(DF d, const float* p) { return hn::LoadU(d, p); }

// Four registers of whole pixels (red, green, blue, alpha, red, …) to four of one colour each.
HWY_INLINE void Deinterleave(DF d, VF v0, VF v1, VF v2, VF v3, VF& r, VF& g, VF& b, VF& a) {
#if HWY_TARGET == HWY_SCALAR
    (void)d;
    r = v0, g = v1, b = v2, a = v3;
#else
    const VF rb0 = hn::ConcatEven(d, v1, v0), ga0 = hn::ConcatOdd(d, v1, v0);
    const VF rb1 = hn::ConcatEven(d, v3, v2), ga1 = hn::ConcatOdd(d, v3, v2);
    r = hn::ConcatEven(d, rb1, rb0), b = hn::ConcatOdd(d, rb1, rb0);
    g = hn::ConcatEven(d, ga1, ga0), a = hn::ConcatOdd(d, ga1, ga0);
#endif
}

// A register of output pixels' horizontal mix of one plane, their taps from m on.
template <class I>
HWY_INLINE VF Tap(DF d, const float* m, I i0, VF w) {
    const VF lo = hn::TableLookupLanes(hn::LoadU(d, m), i0), hi = hn::TableLookupLanes(hn::LoadU(d, m + 1), i0);
    return hn::MulAdd(hn::Sub(hi, lo), w, lo);
}

template <bool Alpha, class Src>
void Groups(const BurstRow& rt, const BurstTables& t, int g0, int g1, float* planes, const Src* const* s0,
            const Src* const* s1, const Src* const* sn, const BurstAhead& ahead) {
    const DF d;
    const DI di;
    const hn::Rebind<uint8_t, DI> du8;
    const int N = int(hn::Lanes(d));
    const VF one = hn::Set(d, 1.0f), m24 = hn::Set(d, -0.24f);
    constexpr int kPlane = kBurstPlane;
    // Each copy's two source rows mixed, once per source column, as planes of 1 − 24 % of the mix
    // (alpha only where the picture under the copies is not opaque: over an opaque one the
    // result's alpha is 1 whatever the copies hold).
    int first[9];
    for (int k = 0; k < 9; ++k) {
        const int c0 = t.base[size_t(g0) * 9 + k];
        const size_t last = size_t(g1 - 1) * 9 + k;
        const int n = t.base[last] + t.idx[last * N + N - 1] + 2 - c0;  // through the last group's last tap
        first[k] = c0;
        const VF vy = hn::Set(d, rt.wy[k]);
        const Src* a0 = s0[k] + 4 * size_t(c0);
        const Src* a1 = s1[k] + 4 * size_t(c0);
        const Src* ahead = sn[k] + 4 * size_t(c0);
        float* dst = planes + size_t(k) * 4 * kPlane;
        HWY_ALIGN Src pad[2][4 * hn::MaxLanes(d)];
        for (int c = 0; c < n; c += N) {
            const int m = std::min(N, n - c);
            PrefetchBytes(ahead + 4 * c, size_t(m) * 4 * sizeof(Src));
            const Src* pa = a0 + 4 * c;
            const Src* pb = a1 + 4 * c;
            if (m < N) {
                // The row's last columns in padded blocks, zeros after them.
                std::memset(pad, 0, sizeof(pad));
                std::memcpy(pad[0], pa, size_t(m) * 4 * sizeof(Src));
                std::memcpy(pad[1], pb, size_t(m) * 4 * sizeof(Src));
                pa = pad[0], pb = pad[1];
            }
            // Mixed as they lie (the mix is the same for every colour), then split into colours.
            // Named registers: an array here ends up on the stack.
            const auto mixed = [&](int l) HWY_ATTR {
                const VF a = LoadAsFloat(d, pa + l * N), b = LoadAsFloat(d, pb + l * N);
                return hn::MulAdd(hn::MulAdd(hn::Sub(b, a), vy, a), m24, one);
            };
            const VF v0 = mixed(0), v1 = mixed(1), v2 = mixed(2), v3 = mixed(3);
            VF r, g, b, a;
            Deinterleave(d, v0, v1, v2, v3, r, g, b, a);
            hn::StoreU(r, d, dst + c);
            hn::StoreU(g, d, dst + kPlane + c);
            hn::StoreU(b, d, dst + 2 * kPlane + c);
            if (Alpha) hn::StoreU(a, d, dst + 3 * kPlane + c);
        }
    }
    (void)di;
    for (int g = g0; g < g1; ++g) {
        // The rows of a strip are far apart: the next one's pixels are fetched on the way.
        if (g - g0 < ahead.groups) {
            PrefetchBytes(ahead.under + 4 * size_t(N) * size_t(g - g0), 4 * size_t(N) * sizeof(float));
            PrefetchBytes(ahead.o + 4 * size_t(N) * size_t(g - g0), 4 * size_t(N) * sizeof(float));
        }
        VF pr = one, pg = one, pb = one, pa = one;
        for (int k = 0; k < 9; ++k) {
            const size_t q = size_t(g) * 9 + k;
            const auto i0 = hn::IndicesFromVec(d, hn::BitCast(di, hn::PromoteTo(hn::RebindToUnsigned<DI>(), hn::LoadU(du8, t.idx + q * N))));
            const VF w = hn::LoadU(d, t.w + q * N);
            const float* m = planes + size_t(k) * 4 * kPlane + (t.base[q] - first[k]);
            pr = hn::Mul(pr, Tap(d, m, i0, w));
            pg = hn::Mul(pg, Tap(d, m + kPlane, i0, w));
            pb = hn::Mul(pb, Tap(d, m + 2 * kPlane, i0, w));
            if (Alpha) pa = hn::Mul(pa, Tap(d, m + 3 * kPlane, i0, w));
        }
        // The screens one after another, reassociated: 1 − (1 − under)·Π.
        const size_t at = 4 * size_t(N) * size_t(g);
        VF ur, ug, ub, ua;
        hn::LoadInterleaved4(d, rt.under + at, ur, ug, ub, ua);
        hn::StoreInterleaved4(hn::NegMulAdd(hn::Sub(one, ur), pr, one), hn::NegMulAdd(hn::Sub(one, ug), pg, one),
                              hn::NegMulAdd(hn::Sub(one, ub), pb, one), hn::NegMulAdd(hn::Sub(one, ua), pa, one), d,
                              rt.o + at);
    }
}

void BurstGroups(const BurstRow& rt, const BurstTables& t, int g0, int g1, float* planes, const BurstAhead& ahead) {
    // Over an opaque picture the copies' alpha need not be made.
    bool opaque = true;
#if HWY_TARGET == HWY_SCALAR
    for (int i = g0; i < g1 && opaque; ++i) opaque = rt.under[4 * i + 3] >= 1.0f;
#else
    const DF d;
    const DI di;
    const size_t N = hn::Lanes(d);
    const auto alpha = hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(di, 0), hn::Set(di, 3)), hn::Set(di, 3)));
    const VF one = hn::Set(d, 1.0f);
    for (size_t j = 4 * N * size_t(g0); j < 4 * N * size_t(g1) && opaque; j += N)
        opaque = hn::AllFalse(d, hn::And(alpha, hn::Lt(hn::LoadU(d, rt.under + j), one)));
#endif
    if (opaque) Groups<false>(rt, t, g0, g1, planes, rt.r0, rt.r1, rt.next, ahead);
    else Groups<true>(rt, t, g0, g1, planes, rt.r0, rt.r1, rt.next, ahead);
}

}  // namespace ostrela::effects::dream::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::dream::kernels {
HWY_EXPORT(ScreenCopyRow);
HWY_EXPORT(BurstLanes);
HWY_EXPORT(BurstGroups);
void screenCopyRow(const float* r0, const float* r1, const int* cx, const float* cw, float wy, int lo, int hi, float* o) {
    HWY_DYNAMIC_DISPATCH(ScreenCopyRow)(r0, r1, cx, cw, wy, lo, hi, o);
}
int burstLanes() { return HWY_DYNAMIC_DISPATCH(BurstLanes)(); }
void burstGroups(const BurstRow& row, const BurstTables& t, int g0, int g1, float* planes, const BurstAhead& ahead) {
    HWY_DYNAMIC_DISPATCH(BurstGroups)(row, t, g0, g1, planes, ahead);
}
}  // namespace ostrela::effects::dream::kernels
#endif
