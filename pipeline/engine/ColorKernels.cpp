// The frame's way in and out of the working space, written once for every vector target: opaque
// BGRA8 pixels decoded through the 256-entry table, and linear premultiplied pixels encoded to
// BGRA8 through the sRGB curve as a polynomial in x^¼ (max error 8e-6, a thousandth of a code
// step, so every opaque code survives decode → encode). Random-looking pictures (grain, noise)
// would miss the cache on every lookup of a table this fine.
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Kernels.h"

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/engine/ColorKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {

// Alpha that writes as 255.
constexpr float kOpaqueAlpha = 254.5f / 255.0f;

// A 256-entry table indexed per lane. Where a register holds sixteen floats the table stays in
// sixteen registers: a permute within each (the low four bits) and four rounds of selects on the
// next four bits, which beats a gather there; elsewhere a gather.
struct Table256 {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    hn::Vec512<float> t[16];
    explicit Table256(const float* table) {
        const hn::Full512<float> d;
        for (int q = 0; q < 16; ++q) t[q] = hn::LoadU(d, table + 16 * q);
    }
    HWY_INLINE hn::Vec512<float> operator()(hn::Full512<float> d, hn::Vec512<int32_t> code) const {
        const hn::Full512<int32_t> di;
        const auto idx = hn::IndicesFromVec(d, hn::And(code, hn::Set(di, 15)));
        const auto bit = [&](int b) { return hn::RebindMask(d, hn::TestBit(code, hn::Set(di, b))); };
        hn::Vec512<float> p[16];
        for (int k = 0; k < 16; ++k) p[k] = hn::TableLookupLanes(t[k], idx);
        int m = 16;
        for (int b = 16; b <= 128; b *= 2, m /= 2) {
            const auto on = bit(b);
            for (int k = 0; k < m / 2; ++k) p[k] = hn::IfThenElse(on, p[2 * k + 1], p[2 * k]);
        }
        return p[0];
    }
#else
    const float* table;
    explicit Table256(const float* t) : table(t) {}
    template <class D, class VI>
    HWY_INLINE hn::VFromD<D> operator()(D d, VI code) const {
        return hn::GatherIndex(d, table, code);
    }
#endif
};

int DecodeOpaqueRun(const uint8_t* bgra, int n, const float* table, float* rgba) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    const hn::RebindToUnsigned<decltype(d)> du;
    const int N = int(hn::Lanes(d));
    const auto byte = hn::Set(du, 0xFFu), alpha = hn::Set(du, 0xFF000000u);
    const Table256 lookup(table);
    int i = 0;
    for (; i + N <= n; i += N) {
        // One pixel a 32-bit lane: blue, green, red, alpha from the low byte up.
        const auto px = hn::LoadU(du, reinterpret_cast<const uint32_t*>(bgra + 4 * i));
        if (!hn::AllTrue(du, hn::Eq(hn::And(px, alpha), alpha))) break;
        const auto r = lookup(d, hn::BitCast(di, hn::And(hn::ShiftRight<16>(px), byte)));
        const auto g = lookup(d, hn::BitCast(di, hn::And(hn::ShiftRight<8>(px), byte)));
        const auto b = lookup(d, hn::BitCast(di, hn::And(px, byte)));
        hn::StoreInterleaved4(r, g, b, hn::Set(d, 1.0f), d, rgba + 4 * i);
    }
    return i;
}

// The curve's code (times 255, plus a half for the truncation) of an unpremultiplied value.
template <class D, class V = hn::VFromD<D>>
HWY_INLINE V EncodeCode(D d, V v) {
    const V x = Clamp01(d, v);
    const V t = FourthRootFast(d, x);
    V p = hn::Set(d, -6.538063706e-02f);
    p = hn::MulAdd(p, t, hn::Set(d, 2.809710546e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, -5.673877387e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, 1.249779974e+00f));
    p = hn::MulAdd(p, t, hn::Set(d, 1.634954933e-01f));
    p = hn::MulAdd(p, t, hn::Set(d, -6.148333535e-02f));
    p = hn::IfThenElse(hn::Lt(x, hn::Set(d, 0.0031308f)), hn::Mul(x, hn::Set(d, 12.92f)), p);
    return hn::MulAdd(p, hn::Set(d, 255.0f), hn::Set(d, 0.5f));
}

bool EncodeOpaqueRow(const float* rgba, int n, uint8_t* bgra) {
    const hn::ScalableTag<float> d;
    const hn::RebindToUnsigned<decltype(d)> du;
    const int N = int(hn::Lanes(d));
    const auto opaqueAlpha = hn::Set(d, kOpaqueAlpha);
    auto translucent = hn::FirstN(d, 0);
    // A code 0…255 as the low byte of a float's bits: clamped, floored and added to 2^23 (the
    // integer conversion's overflow fix-ups cost more than the curve's last steps).
    const auto magic = hn::Set(d, 8388608.0f), top = hn::Set(d, 255.0f);
    const auto code = [&](hn::Vec<decltype(d)> v) {
        return hn::BitCast(du, hn::Add(hn::Floor(hn::Min(hn::Max(EncodeCode(d, v), hn::Zero(d)), top)), magic));
    };
    // One pixel a 32-bit lane: blue, green, red, alpha in memory order.
    const auto block = [&](const float* p, uint8_t* o) {
        hn::Vec<decltype(d)> r, g, b, a;
        hn::LoadInterleaved4(d, p, r, g, b, a);
        translucent = hn::Or(translucent, hn::Not(hn::Ge(a, opaqueAlpha)));
        // Opaque blocks (most frames are wholly so) skip the division, which by 1 changes nothing;
        // alpha that writes as 255 (blurred opaque pictures come out at 1 − 1e-7) divides as the
        // table path's unpremultiply would.
        if (!hn::AllTrue(d, hn::Eq(a, hn::Set(d, 1.0f)))) {
            const auto q = hn::Max(a, hn::Set(d, 0.5f));
            r = hn::Div(r, q), g = hn::Div(g, q), b = hn::Div(b, q);
        }
        // The shifts push 2^23's bits out of the word; blue's are masked off.
        const auto px = hn::Or(hn::Or(hn::And(code(b), hn::Set(du, 0xFFu)), hn::ShiftLeft<8>(code(g))),
                               hn::Or(hn::ShiftLeft<16>(code(r)), hn::Set(du, 0xFF000000u)));
        hn::StoreU(px, du, reinterpret_cast<uint32_t*>(o));
    };
    int i = 0;
    for (; i + N <= n; i += N) block(rgba + 4 * i, bgra + 4 * i);
    if (i < n) {
        HWY_ALIGN float tail[4 * hn::MaxLanes(d)];
        HWY_ALIGN uint8_t codes[4 * hn::MaxLanes(d)];
        for (float& v : tail) v = 1.0f;
        std::memcpy(tail, rgba + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail, codes);
        std::memcpy(bgra + 4 * i, codes, size_t(n - i) * 4);
    }
    return !hn::AllFalse(d, translucent);
}



// Runs block(px, at, count) over a BGRA8 row a register of pixels at a time (px: one pixel a
// 32-bit lane, blue in the low byte), the tail as a zero-padded block, so each pixel is made the
// same way wherever it lies in the row. Unless `opaque`, the pixels that are not opaque are listed
// in `others`; their count is returned.
template <class Block>
HWY_INLINE int ByteBlocks(const uint8_t* bgra, int n, bool opaque, int* others, const Block& block) {
    const hn::ScalableTag<uint32_t> du;
    const int N = int(hn::Lanes(du));
    const auto alpha = hn::Set(du, 0xFF000000u);
    HWY_ALIGN uint32_t pxs[hn::MaxLanes(du)];
    int m = 0;
    const auto run = [&](const uint32_t* in, int at, int count) {
        const auto px = hn::LoadU(du, in);
        block(px, at, count);
        if (!opaque && !hn::AllTrue(du, hn::Eq(hn::And(px, alpha), alpha))) {
            hn::Store(px, du, pxs);
            for (int q = 0; q < count; ++q)
                if ((pxs[q] >> 24) != 255u) others[m++] = at + q;
        }
    };
    int i = 0;
    for (; i + N <= n; i += N) run(reinterpret_cast<const uint32_t*>(bgra + 4 * i), i, N);
    if (i < n) {
        HWY_ALIGN uint32_t tail[hn::MaxLanes(du)] = {};
        std::memcpy(tail, bgra + 4 * i, size_t(n - i) * 4);
        run(tail, i, n - i);
    }
    return m;
}

// Every pixel of a BGRA8 row through a table of the encoded luminance (size entries over 0…1 and
// a copy of the last): the luminance the tone filters form, in table steps, mixed between two
// entries. Pixels that are not opaque are listed in `others` (their count returned): their
// colour is not the table's.
int LumaTableRow(const uint8_t* bgra, int n, bool opaque, const float* table, int size, float* o, int* others) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    const hn::RebindToUnsigned<decltype(d)> du;
    const auto kr = hn::Set(d, filters::kLumR), kg = hn::Set(d, filters::kLumG), kb = hn::Set(d, filters::kLumB);
    const auto sc = hn::Set(d, float(size - 1) / 255.0f);
    const auto last = hn::Set(di, size - 1);
    const auto byte = hn::Set(du, 0xFFu);
    const auto toFloat = [&](hn::Vec<decltype(du)> v) { return hn::ConvertTo(d, hn::BitCast(di, hn::And(v, byte))); };
    HWY_ALIGN int32_t ks[hn::MaxLanes(d)];
    HWY_ALIGN float fs[hn::MaxLanes(d)];
    return ByteBlocks(bgra, n, opaque, others, [&](hn::Vec<decltype(du)> px, int at, int count) {
        const auto R = toFloat(hn::ShiftRight<16>(px)), G = toFloat(hn::ShiftRight<8>(px)), B = toFloat(px);
        const auto L = hn::Add(hn::Add(hn::Mul(hn::Mul(kr, R), sc), hn::Mul(hn::Mul(kg, G), sc)), hn::Mul(hn::Mul(kb, B), sc));
        const auto k = hn::Min(hn::ConvertTo(di, L), last);
        hn::Store(k, di, ks);
        hn::Store(hn::Sub(L, hn::ConvertTo(d, k)), d, fs);
        for (int q = 0; q < count; ++q) MixEntries(table, ks[q], fs[q], o + 4 * (at + q));
    });
}

// The same for a run that starts with colour controls at saturation s < 1 and works per channel
// after that: channel c reads plane c (size entries and a copy of the last) at
// (1 − s)·L + s·e_c in table steps; alpha is the planes' first alpha.
int LumaChannelsRow(const uint8_t* bgra, int n, bool opaque, const float* const* planes, int size, float s, float* o,
                    int* others) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    const hn::RebindToUnsigned<decltype(d)> du;
    const int N = int(hn::Lanes(d));
    const auto kr = hn::Set(d, filters::kLumR), kg = hn::Set(d, filters::kLumG), kb = hn::Set(d, filters::kLumB);
    const auto sc = hn::Set(d, float(size - 1) / 255.0f);
    const auto keep = hn::Set(d, 1.0f - s), vs = hn::Set(d, s);
    const auto last = hn::Set(di, size - 1);
    const auto byte = hn::Set(du, 0xFFu);
    const auto a = hn::Set(d, planes[3][0]);
    const auto toFloat = [&](hn::Vec<decltype(du)> v) { return hn::ConvertTo(d, hn::BitCast(di, hn::And(v, byte))); };
    const auto read = [&](const float* t, hn::Vec<decltype(d)> x) {
        const auto k = hn::Min(hn::Max(hn::ConvertTo(di, x), hn::Zero(di)), last);
        const auto f = hn::Sub(x, hn::ConvertTo(d, k));
        const auto e0 = hn::GatherIndex(d, t, k), e1 = hn::GatherIndex(d, t + 1, k);
        return hn::MulAdd(hn::Sub(e1, e0), f, e0);
    };
    HWY_ALIGN float block[4 * hn::MaxLanes(d)];
    return ByteBlocks(bgra, n, opaque, others, [&](hn::Vec<decltype(du)> px, int at, int count) {
        const auto R = hn::Mul(toFloat(hn::ShiftRight<16>(px)), sc), G = hn::Mul(toFloat(hn::ShiftRight<8>(px)), sc);
        const auto B = hn::Mul(toFloat(px), sc);
        const auto base = hn::Mul(keep, hn::Add(hn::Add(hn::Mul(kr, R), hn::Mul(kg, G)), hn::Mul(kb, B)));
        float* out = count == N ? o + 4 * at : block;
        hn::StoreInterleaved4(read(planes[0], hn::MulAdd(vs, R, base)), read(planes[1], hn::MulAdd(vs, G, base)),
                              read(planes[2], hn::MulAdd(vs, B, base)), a, d, out);
        if (out == block) std::memcpy(o + 4 * at, block, size_t(count) * 4 * sizeof(float));
    });
}

int LuminanceMapRow(float* p, int n, const float* w, const float* t, int steps, int* outside) {
    int m = 0;
    for (int i = 0; i < n; ++i, p += 4) {
        const float sum = p[0] * w[0] + p[1] * w[1] + p[2] * w[2];
        if (!(sum >= 0.0f && sum <= 1.0f)) {
            outside[m++] = i;
            continue;
        }
        const float x = sum * float(steps);
        const int k = int(x);
        const float alpha = p[3];
        MixEntries(t, k, x - float(k), p);
        p[3] = alpha;
    }
    return m;
}

// Opaque grey pixels with a level in 0…1 through a table of `steps` + 2 RGBA entries over the
// level, mixed between two entries, or, where the result is opaque grey, through its one level
// a step (a quarter of the table, so it stays in the first-level cache). The others are listed.
int GreyMapRow(const float* src, float* dst, int n, const float* t, const float* level, int steps, int flat, int* outside) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    using VF = hn::Vec<decltype(d)>;
    const int N = int(hn::Lanes(d));
    const VF zero = hn::Zero(d), one = hn::Set(d, 1.0f), sc = hn::Set(d, float(steps));
    const auto last = hn::Set(di, steps);
    const VF flatX = hn::Set(d, float(flat));
    const VF c0 = hn::Set(d, level ? level[0] : t[0]), c1 = hn::Set(d, level ? level[0] : t[1]);
    const VF c2 = hn::Set(d, level ? level[0] : t[2]), c3 = level ? one : hn::Set(d, t[3]);
    HWY_ALIGN int32_t ks[hn::MaxLanes(d)], flags[hn::MaxLanes(d)];
    HWY_ALIGN float fs[hn::MaxLanes(d)];
    int m = 0;
    // Indices a register at a time; a level is gathered, RGBA entries are read a pixel at a time
    // (four channels each, which beats four gathers).
    const auto block = [&](const float* s, float* q, int at, int count) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, s, r, g, b, a);
        const auto in = hn::And(hn::Eq(a, one), hn::And(hn::Ge(r, zero), hn::Le(r, one)));
        const VF x = hn::Mul(Clamp01(d, r), sc);
        // Levels where the table starts flat (a threshold keeps most pixels black) are its first entry.
        if (hn::AllTrue(d, hn::And(in, hn::Le(x, flatX)))) {
            hn::StoreInterleaved4(c0, c1, c2, c3, d, q);
            return;
        }
        const auto k = hn::Min(hn::ConvertTo(di, x), last);
        const VF f = hn::Sub(x, hn::ConvertTo(d, k));
        const bool all = hn::AllTrue(d, in);
        if (!all) hn::Store(hn::VecFromMask(di, hn::RebindMask(di, in)), di, flags);
        if (level) {
            const VF v0 = hn::GatherIndex(d, level, k);
            const VF v = hn::MulAdd(hn::Sub(hn::GatherIndex(d, level + 1, k), v0), f, v0);
            hn::StoreInterleaved4(hn::IfThenElse(in, v, r), hn::IfThenElse(in, v, g), hn::IfThenElse(in, v, b),
                                  hn::IfThenElse(in, one, a), d, q);
        } else {
            hn::Store(k, di, ks);
            hn::Store(f, d, fs);
            for (int e = 0; e < count; ++e) {
                if (all || flags[e])
                    MixEntries(t, ks[e], fs[e], q + 4 * e);
                else if (q != s)
                    std::memcpy(q + 4 * e, s + 4 * e, 4 * sizeof(float));
            }
        }
        if (!all)
            for (int e = 0; e < count; ++e)
                if (!flags[e]) outside[m++] = at + e;
    };
    int i = 0;
    for (; i + N <= n; i += N) block(src + 4 * i, dst + 4 * i, i, N);
    if (i < n) {
        HWY_ALIGN float tail[4 * hn::MaxLanes(d)];
        for (int e = 0; e < 4 * N; ++e) tail[e] = 1.0f;  // opaque white: inside, never listed
        std::memcpy(tail, src + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tail, tail, i, n - i);
        std::memcpy(dst + 4 * i, tail, size_t(n - i) * 4 * sizeof(float));
    }
    return m;
}

}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::engine {
HWY_EXPORT(DecodeOpaqueRun);
HWY_EXPORT(EncodeOpaqueRow);
HWY_EXPORT(LumaTableRow);
HWY_EXPORT(LumaChannelsRow);
HWY_EXPORT(LuminanceMapRow);
HWY_EXPORT(GreyMapRow);
namespace kernels {
int luminanceMapRow(float* p, int n, const float* w, const float* table, int steps, int* outside) {
    return HWY_DYNAMIC_DISPATCH(LuminanceMapRow)(p, n, w, table, steps, outside);
}
int greyMapRow(const float* src, float* dst, int n, const float* table, const float* level, int steps, int flat, int* outside) {
    return HWY_DYNAMIC_DISPATCH(GreyMapRow)(src, dst, n, table, level, steps, flat, outside);
}
int decodeOpaqueRun(const uint8_t* bgra, int n, const float* table, float* rgba) {
    return HWY_DYNAMIC_DISPATCH(DecodeOpaqueRun)(bgra, n, table, rgba);
}
bool encodeOpaqueRow(const float* rgba, int n, uint8_t* bgra) { return HWY_DYNAMIC_DISPATCH(EncodeOpaqueRow)(rgba, n, bgra); }
int lumaTableRow(const uint8_t* bgra, int n, bool opaque, const float* table, int size, float* o, int* others) {
    return HWY_DYNAMIC_DISPATCH(LumaTableRow)(bgra, n, opaque, table, size, o, others);
}
int lumaChannelsRow(const uint8_t* bgra, int n, bool opaque, const float* const* planes, int size, float s, float* o, int* others) {
    return HWY_DYNAMIC_DISPATCH(LumaChannelsRow)(bgra, n, opaque, planes, size, s, o, others);
}
}  // namespace kernels
}  // namespace ostrela::engine
#endif
