// The VHS look's chroma bleed row. A row's tail goes through the same vector code in a
// padded block, so a pixel's value never depends on where in a row or tile it falls.
#include "effects/RetroKernels.h"

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/RetroKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::retro::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void BleedRow(float* HWY_RESTRICT o, const float* HWY_RESTRICT row, int n, int dist) {
    const float* red = row - 4 * dist;
    const float* blue = row + 4 * dist;
    const hn::ScalableTag<float> d;
    const int N = int(hn::Lanes(d));
    const auto one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + N <= n; i += N) {
        hn::Vec<decltype(d)> rr, rg, rb, ra, gr, gg, gb, ga, br, bg, bb, ba;
        hn::LoadInterleaved4(d, red + 4 * i, rr, rg, rb, ra);
        hn::LoadInterleaved4(d, row + 4 * i, gr, gg, gb, ga);
        hn::LoadInterleaved4(d, blue + 4 * i, br, bg, bb, ba);
        const auto a = hn::Sub(one, hn::Mul(hn::Mul(hn::Sub(one, ra), hn::Sub(one, ga)), hn::Sub(one, ba)));
        hn::StoreInterleaved4(rr, gg, bb, a, d, o + 4 * i);
    }
    if (i < n) {
        // The three reads of the tail copied into padded blocks.
        HWY_ALIGN float t[3][4 * hn::MaxLanes(d)] = {}, out[4 * hn::MaxLanes(d)];
        const size_t bytes = size_t(n - i) * 4 * sizeof(float);
        std::memcpy(t[0], red + 4 * i, bytes);
        std::memcpy(t[1], row + 4 * i, bytes);
        std::memcpy(t[2], blue + 4 * i, bytes);
        hn::Vec<decltype(d)> rr, rg, rb, ra, gr, gg, gb, ga, br, bg, bb, ba;
        hn::LoadInterleaved4(d, t[0], rr, rg, rb, ra);
        hn::LoadInterleaved4(d, t[1], gr, gg, gb, ga);
        hn::LoadInterleaved4(d, t[2], br, bg, bb, ba);
        const auto a = hn::Sub(one, hn::Mul(hn::Mul(hn::Sub(one, ra), hn::Sub(one, ga)), hn::Sub(one, ba)));
        hn::StoreInterleaved4(rr, gg, bb, a, d, out);
        std::memcpy(o + 4 * i, out, bytes);
    }
}

}  // namespace ostrela::effects::retro::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::retro {
HWY_EXPORT(BleedRow);
void bleedRow(float* o, const float* row, int n, int d) { HWY_DYNAMIC_DISPATCH(BleedRow)(o, row, n, d); }
}  // namespace ostrela::effects::retro
#endif
