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

int OverRow(float* o, const float* g, int n, float k) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vk = hn::Set(d, k), one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + N <= n; i += N) {
        VF r, gr, b, a, r2, g2, b2, a2;
        hn::LoadInterleaved4(d, o + 4 * i, r, gr, b, a);
        hn::LoadInterleaved4(d, g + 4 * i, r2, g2, b2, a2);
        r = hn::Mul(r, vk), gr = hn::Mul(gr, vk), b = hn::Mul(b, vk), a = hn::Mul(a, vk);
        const VF t = hn::Sub(one, a);
        hn::StoreInterleaved4(hn::Add(r, hn::Mul(r2, t)), hn::Add(gr, hn::Mul(g2, t)), hn::Add(b, hn::Mul(b2, t)),
                              hn::Add(a, hn::Mul(a2, t)), d, o + 4 * i);
    }
    return i;
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
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vk = hn::Set(d, k), one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + N <= n; i += N) {
        VF r, g, b, a, fr, fg, fb, fa;
        hn::LoadInterleaved4(d, c + 4 * i, r, g, b, a);
        hn::LoadInterleaved4(d, p + 4 * i, fr, fg, fb, fa);
        fr = hn::Mul(fr, vk), fg = hn::Mul(fg, vk), fb = hn::Mul(fb, vk), fa = hn::Mul(fa, vk);
        const VF t = hn::Sub(one, fa);
        hn::StoreInterleaved4(hn::Add(fr, hn::Mul(r, t)), hn::Add(fg, hn::Mul(g, t)), hn::Add(fb, hn::Mul(b, t)),
                              hn::Add(fa, hn::Mul(a, t)), d, o + 4 * i);
    }
    return i;
}

int FringeRow(const float* row, int bx, int x0, int n, int rb, int lb, float rw, float lw, float* o) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vr = hn::Set(d, rw), vl = hn::Set(d, lw), zero = hn::Zero(d);
    int i = 0;
    for (; i + N <= n; i += N) {
        const int x = x0 + i;
        const float* p = row + size_t(x + rb - bx) * 4;
        const float* q = row + size_t(x + lb - bx) * 4;
        VF p0r, p0g, p0b, p0a, p1r, p1g, p1b, p1a, q0r, q0g, q0b, q0a, q1r, q1g, q1b, q1a, br, bg, bb, ba;
        hn::LoadInterleaved4(d, p, p0r, p0g, p0b, p0a);
        hn::LoadInterleaved4(d, p + 4, p1r, p1g, p1b, p1a);
        hn::LoadInterleaved4(d, q, q0r, q0g, q0b, q0a);
        hn::LoadInterleaved4(d, q + 4, q1r, q1g, q1b, q1a);
        hn::LoadInterleaved4(d, row + size_t(x - bx) * 4, br, bg, bb, ba);
        // Red from the right-moved taps, blue from the left-moved ones, no green, screened alpha.
        const VF rr = hn::Add(p0r, hn::Mul(hn::Sub(p1r, p0r), vr)), ra = hn::Add(p0a, hn::Mul(hn::Sub(p1a, p0a), vr));
        const VF lbv = hn::Add(q0b, hn::Mul(hn::Sub(q1b, q0b), vl)), la = hn::Add(q0a, hn::Mul(hn::Sub(q1a, q0a), vl));
        const VF sa = hn::Sub(hn::Add(ra, la), hn::Mul(ra, la));
        const auto screen = [](VF s, VF b) { return hn::Sub(hn::Add(s, b), hn::Mul(s, b)); };
        hn::StoreInterleaved4(screen(rr, br), screen(zero, bg), screen(lbv, bb), screen(sa, ba), d, o + 4 * i);
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
