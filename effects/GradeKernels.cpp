// The colour-grade shortcuts' table reads, written once for every vector target. Each pixel's
// table position comes from the same operations wherever it falls in a row, and its entries are
// mixed four channels at a time where registers allow.
#include "effects/GradeKernels.h"
#include "pipeline/engine/Filters.h"

#include <algorithm>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "effects/GradeKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::effects::grade::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
namespace {

// Entry k mixed towards entry k + 1 by f, times s: four channels.
HWY_INLINE void Entry(const float* t, int k, float f, float s, float* o) {
    const hn::CappedTag<float, 4> d4;
    const size_t L = hn::Lanes(d4);
    const auto vf = hn::Set(d4, f), vs = hn::Set(d4, s);
    for (size_t c = 0; c < 4; c += L) {
        const auto e0 = hn::LoadU(d4, t + 4 * k + c), e1 = hn::LoadU(d4, t + 4 * k + 4 + c);
        hn::StoreU(hn::Mul(hn::MulAdd(hn::Sub(e1, e0), vf, e0), vs), d4, o + c);
    }
}

}  // namespace

void RampTableRow(float* p, int n, const float* t, int steps, bool perChannel, float blackBelow) {
    const hn::CappedTag<float, 4> d4;
    const size_t L = hn::Lanes(d4);
    const auto zero = hn::Zero(d4), one = hn::Set(d4, 1.0f), vsteps = hn::Set(d4, float(steps));
    for (int i = 0; i < n; ++i, p += 4) {
        const float a = std::min(p[3], 1.0f);
        if (!(a > 0.0f)) {
            p[0] = p[1] = p[2] = p[3] = 0.0f;
            continue;
        }
        if (perChannel && a >= 1.0f && p[0] < blackBelow && p[1] < blackBelow && p[2] < blackBelow) {
            p[0] = p[1] = p[2] = 0.0f;
            p[3] = t[3];
            continue;
        }
        const float inv = a >= 1.0f ? 1.0f : 1.0f / a;
        // Table positions of the channels at once.
        HWY_ALIGN float xs[4];
        const auto vinv = hn::Set(d4, inv);
        for (size_t c = 0; c < 4; c += L)
            hn::Store(hn::Mul(hn::Sqrt(hn::Min(hn::Max(hn::Mul(hn::LoadU(d4, p + c), vinv), zero), one)), vsteps), d4, xs + c);
        if (perChannel) {
            float o[3];
            for (int c = 0; c < 3; ++c) {
                const float x = xs[c];
                const int k = int(x);
                o[c] = t[4 * k + c] + (t[4 * k + 4 + c] - t[4 * k + c]) * (x - float(k));
            }
            p[0] = o[0] * a;
            p[1] = o[1] * a;
            p[2] = o[2] * a;
            p[3] = t[3] * a;
        } else {
            const int k = int(xs[0]);
            Entry(t, k, xs[0] - float(k), a, p);
        }
    }
}

}  // namespace ostrela::effects::grade::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::grade {
HWY_EXPORT(RampTableRow);

void rampTableRow(float* p, int n, const float* table, int steps, bool perChannel, float blackBelow) {
    HWY_DYNAMIC_DISPATCH(RampTableRow)(p, n, table, steps, perChannel, blackBelow);
}
}  // namespace ostrela::effects::grade
#endif
