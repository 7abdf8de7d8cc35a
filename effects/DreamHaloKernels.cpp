// Dream Sequence's halo rows. Compiled without contraction into fused multiply-adds: the rows'
// remainders are done one pixel at a time in DreamHalo.cpp, and both must round alike.
#pragma GCC optimize("fp-contract=off")

#include "effects/DreamHaloKernels.h"

#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/DreamHaloKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::dream::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// Pixels as they lie in memory, a register holding whole pixels; each pixel's alpha is spread
// over its four lanes within its 128-bit block. The scalar target does a pixel at a time.
#if HWY_TARGET == HWY_SCALAR
constexpr bool kWholePixels = false;
HWY_INLINE VF AlphaOf(VF v) { return v; }
#else
constexpr bool kWholePixels = true;
HWY_INLINE VF AlphaOf(VF v) { return hn::Broadcast<3>(v); }
#endif

int OverRow(float* o, const float* g, int n, float k) {
    if (!kWholePixels) return 0;
    const DF d;
    const size_t N = hn::Lanes(d), m = size_t(n) * 4 / N * N;
    const VF vk = hn::Set(d, k), one = hn::Set(d, 1.0f);
    for (size_t j = 0; j < m; j += N) {
        const VF a = hn::Mul(hn::LoadU(d, o + j), vk);
        hn::StoreU(hn::Add(a, hn::Mul(hn::LoadU(d, g + j), hn::Sub(one, AlphaOf(a)))), d, o + j);
    }
    return int(m / 4);
}

int ScreenRow(float* row, const float* x, int n, float k) {
    const DF d;
    const size_t N = hn::Lanes(d);
    const VF vk = hn::Set(d, k);
    // Channels independent: a run of floats.
    const size_t m = size_t(n) * 4, done = m / (4 * N) * (4 * N);
    for (size_t j = 0; j < done; j += N) {
        const VF a = hn::Mul(hn::LoadU(d, row + j), vk), b = hn::LoadU(d, x + j);
        hn::StoreU(hn::Sub(hn::Add(a, b), hn::Mul(a, b)), d, row + j);
    }
    return int(done / 4);
}

int EchoRow(const float* c, const float* p, int n, float k, float* o) {
    if (!kWholePixels) return 0;
    const DF d;
    const size_t N = hn::Lanes(d), m = size_t(n) * 4 / N * N;
    const VF vk = hn::Set(d, k), one = hn::Set(d, 1.0f);
    for (size_t j = 0; j < m; j += N) {
        const VF f = hn::Mul(hn::LoadU(d, p + j), vk);
        hn::StoreU(hn::Add(f, hn::Mul(hn::LoadU(d, c + j), hn::Sub(one, AlphaOf(f)))), d, o + j);
    }
    return int(m / 4);
}

int FringeRow(const float* row, int bx, int x0, int n, int rb, int lb, float rw, float lw, float* o) {
    if (!kWholePixels) return 0;
    const DF d;
    const hn::RebindToSigned<DF> di;
    const int P = int(hn::Lanes(d) / 4);  // pixels a register
    const VF vr = hn::Set(d, rw), vl = hn::Set(d, lw), zero = hn::Zero(d);
    // Red from the right-moved taps, blue from the left-moved ones, no green, screened alpha.
    const auto channel = hn::And(hn::Iota(di, 0), hn::Set(di, 3));
    const auto isRed = hn::RebindMask(d, hn::Eq(channel, hn::Set(di, 0)));
    const auto isBlue = hn::RebindMask(d, hn::Eq(channel, hn::Set(di, 2)));
    const auto isAlpha = hn::RebindMask(d, hn::Eq(channel, hn::Set(di, 3)));
    int i = 0;
    for (; i + P <= n; i += P) {
        const int x = x0 + i;
        const float* p = row + size_t(x + rb - bx) * 4;
        const float* q = row + size_t(x + lb - bx) * 4;
        const VF p0 = hn::LoadU(d, p), p1 = hn::LoadU(d, p + 4);
        const VF q0 = hn::LoadU(d, q), q1 = hn::LoadU(d, q + 4);
        const VF R = hn::Add(p0, hn::Mul(hn::Sub(p1, p0), vr));
        const VF L = hn::Add(q0, hn::Mul(hn::Sub(q1, q0), vl));
        const VF ra = AlphaOf(R), la = AlphaOf(L);
        const VF a = hn::Sub(hn::Add(ra, la), hn::Mul(ra, la));
        const VF sv = hn::IfThenElse(isRed, R, hn::IfThenElse(isBlue, L, hn::IfThenElse(isAlpha, a, zero)));
        const VF b = hn::LoadU(d, row + size_t(x - bx) * 4);
        hn::StoreU(hn::Sub(hn::Add(sv, b), hn::Mul(sv, b)), d, o + 4 * i);
    }
    return i;
}

}  // namespace ostrela::effects::dream::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::dream::kernels {
HWY_EXPORT(OverRow);
HWY_EXPORT(ScreenRow);
HWY_EXPORT(EchoRow);
HWY_EXPORT(FringeRow);
int overRow(float* o, const float* g, int n, float k) { return HWY_DYNAMIC_DISPATCH(OverRow)(o, g, n, k); }
int screenRow(float* row, const float* x, int n, float k) { return HWY_DYNAMIC_DISPATCH(ScreenRow)(row, x, n, k); }
int echoRow(const float* c, const float* p, int n, float k, float* o) { return HWY_DYNAMIC_DISPATCH(EchoRow)(c, p, n, k, o); }
int fringeRow(const float* row, int bx, int x0, int n, int rb, int lb, float rw, float lw, float* o) {
    return HWY_DYNAMIC_DISPATCH(FringeRow)(row, bx, x0, n, rb, lb, rw, lw, o);
}
}  // namespace ostrela::effects::dream::kernels
#endif
