// Dream Sequence's lights over planes of as many pixels as a register holds; a row's
// tail goes through the same code in a padded block.
#include "effects/DreamLookKernels.h"

#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/DreamLookKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::dream::kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace ostrela::engine::HWY_NAMESPACE;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
constexpr size_t kMaxPixels = hn::MaxLanes(DF());

void LightRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* inner, const float* outer) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vdy2 = hn::Set(d, dy2), vr0 = hn::Set(d, r0), vinv = hn::Set(d, inv), one = hn::Set(d, 1.0f);
    const VF lane = hn::Iota(d, 0.0f);
    // The distances of N pixels, then the pixels as they lie in memory, a quarter register of
    // pixels at a time, each pixel's t spread over its four channels.
    HWY_ALIGN float in4[4 * kMaxPixels], dc4[4 * kMaxPixels];
    HWY_ALIGN int32_t spread[4 * kMaxPixels];
    const int P = N >= 4 ? N / 4 : 1;  // pixels a register holds
    for (int l = 0; l < 4 * N; ++l) {
        in4[l] = inner[l % 4];
        dc4[l] = outer[l % 4] - inner[l % 4];
        spread[l] = l / 4;  // lane l of quarter q reads t at q·P + l / 4
    }
    const VF c0 = hn::Load(d, in4), dc = hn::Load(d, dc4);
    const hn::RebindToSigned<DF> di;
    const auto block = [&](float* q, int i) {
        const VF dx = hn::Add(hn::Set(d, dx0 + float(i)), lane);
        const VF t = Clamp01(d, hn::Mul(hn::Sub(hn::Sqrt(hn::MulAdd(dx, dx, vdy2)), vr0), vinv));
        if (N >= 4) {
            for (int k = 0; k < 4; ++k) {
                const auto idx = hn::IndicesFromVec(d, hn::Add(hn::Load(di, spread), hn::Set(di, k * P)));
                const VF g = hn::MulAdd(dc, hn::TableLookupLanes(t, idx), c0);
                float* p = q + 4 * k * P;
                const VF b = hn::LoadU(d, p);
                hn::StoreU(hn::MulAdd(g, hn::Sub(one, b), b), d, p);  // g + b − g·b
            }
        } else {
            HWY_ALIGN float ts[kMaxPixels];
            hn::Store(t, d, ts);
            for (int k = 0; k < N; ++k)
                for (int c = 0; c < 4; ++c) {
                    const VF g = hn::MulAdd(hn::Set(d, dc4[c]), hn::Set(d, ts[k]), hn::Set(d, in4[c]));
                    const VF b = hn::Set(d, q[4 * k + c]);
                    q[4 * k + c] = hn::GetLane(hn::MulAdd(g, hn::Sub(one, b), b));
                }
        }
    };
    PixelBlocks(o, n, block);
}

}  // namespace ostrela::effects::dream::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::dream::kernels {
HWY_EXPORT(LightRow);
void lightRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* inner, const float* outer) {
    HWY_DYNAMIC_DISPATCH(LightRow)(o, n, dx0, dy2, r0, inv, inner, outer);
}
}  // namespace ostrela::effects::dream::kernels
#endif
