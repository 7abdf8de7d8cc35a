// The tone filters' run of a colour matrix, a curve of each encoded channel and a second matrix
// in one pass, over planes of as many pixels as a register holds; a row's tail goes through the
// same code in a padded block.
#include "pipeline/engine/Kernels.h"

#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/engine/ToneCurveKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
using kernels::CurveTable;
using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

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

HWY_INLINE VF curveOf(DF d, const CurveTable& c, VF e) {
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

void ToneCurveRun(float* p, int n, const float* grade, const float* hue, const CurveTable& curve) {
    const DF d;
    PixelBlocks(p, n, [&](float* q, int) {
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
    });
}

}  // namespace
}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::engine {
HWY_EXPORT(ToneCurveRun);
namespace kernels {
void toneCurveRun(float* p, int n, const float* grade, const float* hue, const CurveTable& curve) {
    HWY_DYNAMIC_DISPATCH(ToneCurveRun)(p, n, grade, hue, curve);
}
}  // namespace kernels
}  // namespace ostrela::engine
#endif
