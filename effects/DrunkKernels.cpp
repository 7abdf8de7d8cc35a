// Drunk Mode's accumulating pass. Pixels lie in registers as they lie in memory, each pixel's
// alpha spread over its four lanes; a row's tail goes through the same code in a padded block,
// so a pixel's value never depends on where in a row or tile it falls.
#include "effects/DrunkKernels.h"

#include <cstdint>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/DrunkKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/cache_control.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::drunk::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

enum Ghost { kNoGhost, kGhostRow, kGhostBlur };

#if HWY_TARGET == HWY_SCALAR
// One pixel at a time, the same operations in the same order.
template <int Trails, int G>
void Row(const float* gp, const float* b0, const float* b1, float wx, float wy, const float* const* tp, const float* al,
         bool, int n, float* o) {
    for (int i = 0; i < n; ++i) {
        float acc[4], f[4];
        for (int c = 0; c < 4; ++c) acc[c] = gp[4 * i + c];
        if constexpr (G != kNoGhost) {
            for (int c = 0; c < 4; ++c) {
                if constexpr (G == kGhostBlur) {
                    const float a0 = b0[4 * i + c], a1 = b0[4 * i + 4 + c], c0 = b1[4 * i + c], c1 = b1[4 * i + 4 + c];
                    const float bot = (a1 - a0) * wx + a0, top = (c1 - c0) * wx + c0;
                    f[c] = ((top - bot) * wy + bot) * 0.55f;
                } else {
                    f[c] = b0[4 * i + c] * 0.55f;
                }
            }
            const float k = 1.0f - f[3];
            for (int c = 0; c < 4; ++c) acc[c] = acc[c] * k + f[c];
        }
        for (int q = 0; q < Trails; ++q) {
            for (int c = 0; c < 4; ++c) f[c] = tp[q][4 * i + c] * al[q];
            const float k = 1.0f - f[3];
            for (int c = 0; c < 4; ++c) acc[c] = acc[c] * k + f[c];
        }
        for (int c = 0; c < 4; ++c) o[4 * i + c] = acc[c];
    }
}
#else
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// The floats from j on of the accumulated row.
template <int Trails, int G>
HWY_INLINE VF At(DF d, size_t j, const float* gp, const float* b0, const float* b1, VF vx, VF vy, const float* const* tp,
                 const VF* ta) {
    const VF one = hn::Set(d, 1.0f);
    VF acc = hn::LoadU(d, gp + j);
    if constexpr (G != kNoGhost) {
        VF f;
        if constexpr (G == kGhostBlur) {
            const VF a0 = hn::LoadU(d, b0 + j), a1 = hn::LoadU(d, b0 + j + 4);
            const VF c0 = hn::LoadU(d, b1 + j), c1 = hn::LoadU(d, b1 + j + 4);
            const VF bot = hn::MulAdd(hn::Sub(a1, a0), vx, a0), top = hn::MulAdd(hn::Sub(c1, c0), vx, c0);
            f = hn::Mul(hn::MulAdd(hn::Sub(top, bot), vy, bot), hn::Set(d, 0.55f));
        } else {
            f = hn::Mul(hn::LoadU(d, b0 + j), hn::Set(d, 0.55f));
        }
        acc = hn::MulAdd(acc, hn::Sub(one, hn::Broadcast<3>(f)), f);
    }
    for (int q = 0; q < Trails; ++q) {
        const VF t = hn::Mul(hn::LoadU(d, tp[q] + j), ta[q]);
        acc = hn::MulAdd(acc, hn::Sub(one, hn::Broadcast<3>(t)), t);
    }
    return acc;
}

template <int Trails, int G>
void Row(const float* gp, const float* b0, const float* b1, float wx, float wy, const float* const* tp, const float* al,
         bool stream, int n, float* o) {
    const DF d;
    const size_t N = hn::Lanes(d), m = size_t(n) * 4, whole = m / N * N;
    const VF vx = hn::Set(d, wx), vy = hn::Set(d, wy);
    VF ta[3] = {hn::Zero(d), hn::Zero(d), hn::Zero(d)};
    for (int q = 0; q < Trails; ++q) ta[q] = hn::Set(d, al[q]);
    size_t j = 0;
    if (stream && reinterpret_cast<uintptr_t>(o) % (N * sizeof(float)) == 0) {
        for (; j < whole; j += N) hn::Stream(At<Trails, G>(d, j, gp, b0, b1, vx, vy, tp, ta), d, o + j);
    } else {
        for (; j < whole; j += N) hn::StoreU(At<Trails, G>(d, j, gp, b0, b1, vx, vy, tp, ta), d, o + j);
    }
    if (j == m) return;
    // The tail's reads copied into padded blocks (the blur rows hold one more pixel).
    const size_t rest = m - j;
    HWY_ALIGN float g[hn::MaxLanes(d)] = {}, u0[hn::MaxLanes(d) + 4] = {}, u1[hn::MaxLanes(d) + 4] = {},
                    t[3][hn::MaxLanes(d)] = {}, out[hn::MaxLanes(d)];
    std::memcpy(g, gp + j, rest * sizeof(float));
    if (G == kGhostBlur) {
        std::memcpy(u0, b0 + j, (rest + 4) * sizeof(float));
        std::memcpy(u1, b1 + j, (rest + 4) * sizeof(float));
    } else if (G == kGhostRow) {
        std::memcpy(u0, b0 + j, rest * sizeof(float));
    }
    const float* tt[3] = {t[0], t[1], t[2]};
    for (int q = 0; q < Trails; ++q) std::memcpy(t[q], tp[q] + j, rest * sizeof(float));
    hn::Store(At<Trails, G>(d, 0, g, u0, u1, vx, vy, tt, ta), d, out);
    std::memcpy(o + j, out, rest * sizeof(float));
}
#endif

template <int G>
void RowOf(const float* gp, const float* b0, const float* b1, float wx, float wy, const float* const* tp, const float* al,
           int nTrails, bool stream, int n, float* o) {
    switch (nTrails) {
        case 0: Row<0, G>(gp, b0, b1, wx, wy, tp, al, stream, n, o); break;
        case 1: Row<1, G>(gp, b0, b1, wx, wy, tp, al, stream, n, o); break;
        case 2: Row<2, G>(gp, b0, b1, wx, wy, tp, al, stream, n, o); break;
        default: Row<3, G>(gp, b0, b1, wx, wy, tp, al, stream, n, o); break;
    }
}

void AccumulateRow(const float* gp, const float* b0, const float* b1, float wx, float wy, const float* const* tp,
                   const float* al, int nTrails, bool stream, int n, float* o) {
    if (!b0) RowOf<kNoGhost>(gp, b0, b1, wx, wy, tp, al, nTrails, stream, n, o);
    else if (!b1) RowOf<kGhostRow>(gp, b0, b1, wx, wy, tp, al, nTrails, stream, n, o);
    else RowOf<kGhostBlur>(gp, b0, b1, wx, wy, tp, al, nTrails, stream, n, o);
}

}  // namespace ostrela::effects::drunk::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::drunk::kernels {
HWY_EXPORT(AccumulateRow);
void accumulateRow(const float* gp, const float* b0, const float* b1, float wx, float wy, const float* const* trails,
                   const float* alphas, int nTrails, bool stream, int n, float* o) {
    HWY_DYNAMIC_DISPATCH(AccumulateRow)(gp, b0, b1, wx, wy, trails, alphas, nTrails, stream, n, o);
}
void flushStreams() { hwy::FlushStream(); }
}  // namespace ostrela::effects::drunk::kernels
#endif
