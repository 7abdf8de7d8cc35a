// Dream Sequence's grade and lights over planes of as many pixels as a register holds; a row's
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

// One of sixteen entries per lane, by permutes within registers: one where a register holds
// sixteen, otherwise one per register-sized part of the table and a select on the index.
template <class D, class VI>
HWY_INLINE hn::VFromD<D> Lookup16(D d, const float* table16, VI idx) {
    constexpr size_t kMax = hn::MaxLanes(D());
    if constexpr (kMax == 1) {
        return hn::GatherIndex(d, table16, idx);
    } else {
        const hn::RebindToSigned<D> di;
        const int N = int(hn::Lanes(d));
        if (N >= 16) return hn::TableLookupLanes(hn::LoadU(d, table16), hn::IndicesFromVec(d, idx));
        const auto low = hn::IndicesFromVec(d, hn::And(idx, hn::Set(di, N - 1)));
        auto v = hn::TableLookupLanes(hn::LoadU(d, table16), low);
        for (int q = N; q < 16; q += N)
            v = hn::IfThenElse(hn::RebindMask(d, hn::Gt(idx, hn::Set(di, q - 1))), hn::TableLookupLanes(hn::LoadU(d, table16 + q), low), v);
        return v;
    }
}

// m·(r, g, b) + bias, fused as the filters fuse it.
HWY_INLINE VF row3(DF d, const float* m, VF r, VF g, VF b, VF bias) {
    return hn::MulAdd(hn::Set(d, m[2]), b, hn::MulAdd(hn::Set(d, m[1]), g, hn::MulAdd(hn::Set(d, m[0]), r, bias)));
}

HWY_INLINE VF curveOf(DF d, const GradeCurve& c, VF e) {
    const hn::RebindToSigned<DF> di;
    const VF x = Clamp01(d, e);
    const auto bits = hn::BitCast(di, x);
    constexpr int kFirstSegment = (127 - 8) * 2;  // 2^-8: its exponent and top mantissa bit
    const auto seg = hn::Min(hn::Max(hn::Sub(hn::ShiftRight<22>(bits), hn::Set(di, kFirstSegment)), hn::Zero(di)), hn::Set(di, 15));
    const VF t = hn::Sub(hn::BitCast(d, hn::Or(hn::ShiftLeft<1>(hn::And(bits, hn::Set(di, 0x3FFFFF))), hn::Set(di, 0x3F800000))),
                         hn::Set(d, 1.0f));
    VF p = Lookup16(d, c.cubic[3], seg);
    p = hn::MulAdd(p, t, Lookup16(d, c.cubic[2], seg));
    p = hn::MulAdd(p, t, Lookup16(d, c.cubic[1], seg));
    p = hn::MulAdd(p, t, Lookup16(d, c.cubic[0], seg));
    auto ends = hn::Or(hn::Lt(x, hn::Set(d, 1.0f / 256)), hn::Ge(x, hn::Set(d, 1.0f)));
    if (c.loose) ends = hn::Or(ends, hn::Ne(Lookup16(d, c.tableInstead, seg), hn::Zero(d)));
    if (hn::AllFalse(d, ends)) return p;
    // The nearest entry: at this many steps within 1e-4 of the curve.
    const auto at = hn::NearestInt(hn::Mul(x, hn::Set(d, float(c.steps))));
    return hn::IfThenElse(ends, hn::GatherIndex(d, c.table, at), p);
}

void GradeGammaHue(float* p, int n, const float* grade, const float* hue, const GradeCurve& curve) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const auto block = [&](float* q) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, q, r, g, b, a);
        Unpremultiply(d, r, g, b, a);  // as the tone filters do it
        r = SrgbEncode(d, r);
        g = SrgbEncode(d, g);
        b = SrgbEncode(d, b);
        const VF gr = curveOf(d, curve, row3(d, grade, r, g, b, hn::Set(d, grade[3])));
        const VF gg = curveOf(d, curve, row3(d, grade + 4, r, g, b, hn::Set(d, grade[7])));
        const VF gb = curveOf(d, curve, row3(d, grade + 8, r, g, b, hn::Set(d, grade[11])));
        const VF zero = hn::Zero(d);
        a = Clamp01(d, a);
        r = hn::Mul(SrgbDecode(d, row3(d, hue, gr, gg, gb, zero)), a);
        g = hn::Mul(SrgbDecode(d, row3(d, hue + 3, gr, gg, gb, zero)), a);
        b = hn::Mul(SrgbDecode(d, row3(d, hue + 6, gr, gg, gb, zero)), a);
        hn::StoreInterleaved4(r, g, b, a, d, q);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(p + 4 * i);
    if (i < n) {
        HWY_ALIGN float tail[4 * kMaxPixels] = {};
        std::memcpy(tail, p + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail);
        std::memcpy(p + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
}

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
    int i = 0;
    for (; i + N <= n; i += N) block(o + 4 * i, i);
    if (i < n) {
        HWY_ALIGN float tail[4 * kMaxPixels] = {};
        std::memcpy(tail, o + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail, i);
        std::memcpy(o + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
}

}  // namespace ostrela::effects::dream::kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::effects::dream::kernels {
HWY_EXPORT(GradeGammaHue);
HWY_EXPORT(LightRow);
void gradeGammaHue(float* p, int n, const float* grade, const float* hue, const GradeCurve& curve) {
    HWY_DYNAMIC_DISPATCH(GradeGammaHue)(p, n, grade, hue, curve);
}
void lightRow(float* o, int n, float dx0, float dy2, float r0, float inv, const float* inner, const float* outer) {
    HWY_DYNAMIC_DISPATCH(LightRow)(o, n, dx0, dy2, r0, inv, inner, outer);
}
}  // namespace ostrela::effects::dream::kernels
#endif
