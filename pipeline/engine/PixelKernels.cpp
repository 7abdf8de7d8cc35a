// Sampling and compositing kernels, written once for every vector target: the resampled reads of
// stored pictures, the half-precision copy, the composites (over, screen, multiply, masked), the
// colour matrix, the edge filter's rows and the painted layers' 16-bit pixels. A row's tail goes
// through the same vector code in a padded block, so a pixel's value never depends on where in a
// row or tile it falls.
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Filters.h"

#include <algorithm>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pipeline/engine/PixelKernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/cache_control.h>
#include <hwy/highway.h>

#include "pipeline/engine/simd/Math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ostrela::engine::HWY_NAMESPACE {
namespace {

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;
constexpr size_t kMaxPixels = hn::MaxLanes(DF());
constexpr int kMaxChain = kernels::kMaxOverChain;

// Runs block(a, b, o) over n RGBA pixels, Lanes(d) at a time; the tail through zero-padded copies.
// `a` and `b` may be null (the block is then given null too).
template <class Block>
HWY_INLINE void Pixels(const float* a, const float* b, float* o, int n, const Block& block) {
    const int N = int(hn::Lanes(DF()));
    int i = 0;
    for (; i + N <= n; i += N) block(a ? a + 4 * i : nullptr, b ? b + 4 * i : nullptr, o + 4 * i);
    if (i < n) {
        HWY_ALIGN float ta[4 * kMaxPixels] = {}, tb[4 * kMaxPixels] = {}, to[4 * kMaxPixels] = {};
        const size_t bytes = size_t(n - i) * 4 * sizeof(float);
        if (a) std::memcpy(ta, a + 4 * i, bytes);
        if (b) std::memcpy(tb, b + 4 * i, bytes);
        std::memcpy(to, o + 4 * i, bytes);
        block(a ? ta : nullptr, b ? tb : nullptr, to);
        std::memcpy(o + 4 * i, to, bytes);
    }
}

// One pixel from its neighbours at p, p + 4 (row below) and p + stride, p + stride + 4 (row
// above): down the columns first, then across, four channels at a time where registers allow.
HWY_INLINE void MixOne(const float* p0, const float* p1, float wx, float wy, float* o) {
    const hn::CappedTag<float, 4> d4;
    const size_t L = hn::Lanes(d4);
    const auto vx = hn::Set(d4, wx), vy = hn::Set(d4, wy);
    for (size_t c = 0; c < 4; c += L) {
        const auto a0 = hn::LoadU(d4, p0 + c), a1 = hn::LoadU(d4, p0 + 4 + c);
        const auto b0 = hn::LoadU(d4, p1 + c), b1 = hn::LoadU(d4, p1 + 4 + c);
        const auto l = hn::MulAdd(hn::Sub(b0, a0), vy, a0), r = hn::MulAdd(hn::Sub(b1, a1), vy, a1);
        hn::StoreU(hn::MulAdd(hn::Sub(r, l), vx, l), d4, o + c);
    }
}

// Two pixels in one eight-float register where there is one (the same operations per lane).
template <class D8>
HWY_INLINE void MixTwo(D8 d8, const float* p, const float* q, size_t stride, const float* wx, const float* wy, float* o) {
#if HWY_TARGET != HWY_SCALAR
    if constexpr (hn::MaxLanes(d8) == 8) {
        const auto p0 = hn::LoadU(d8, p), p1 = hn::LoadU(d8, p + stride);
        const auto q0 = hn::LoadU(d8, q), q1 = hn::LoadU(d8, q + stride);
        const auto vp = hn::MulAdd(hn::Sub(p1, p0), hn::Set(d8, wy[0]), p0);
        const auto vq = hn::MulAdd(hn::Sub(q1, q0), hn::Set(d8, wy[1]), q0);
        const auto lo = hn::ConcatLowerLower(d8, vq, vp), hi = hn::ConcatUpperUpper(d8, vq, vp);
        const auto w = hn::ConcatLowerLower(d8, hn::Set(d8, wx[1]), hn::Set(d8, wx[0]));
        hn::StoreU(hn::MulAdd(hn::Sub(hi, lo), w, lo), d8, o);
        return;
    }
#endif
    {
        MixOne(p, p + stride, wx[0], wy[0], o);
        MixOne(q, q + stride, wx[1], wy[1], o + 4);
    }
}

}  // namespace

int ResampleRow(const float* src, int bx, int by, int bw, int bh, double sx, double sy, double ax, double ay,
                double pfx, double pfy, int n, float* o, int* edges) {
    const hn::ScalableTag<double> dd;
    const hn::Rebind<int32_t, decltype(dd)> di;
    const hn::Rebind<float, decltype(dd)> df;
    constexpr size_t kMax = hn::MaxLanes(dd);
    const int N = int(hn::Lanes(dd));
    const size_t stride = size_t(bw) * 4;
    const auto vax = hn::Set(dd, ax), vay = hn::Set(dd, ay), vsx = hn::Set(dd, sx), vsy = hn::Set(dd, sy);
    const auto lox = hn::Set(dd, double(bx)), loy = hn::Set(dd, double(by));
    const auto hix = hn::Set(dd, double(bx + bw - 1)), hiy = hn::Set(dd, double(by + bh - 1));
    HWY_ALIGN int32_t ix[kMax], iy[kMax];
    HWY_ALIGN float wx[kMax], wy[kMax];
    HWY_ALIGN double inside[kMax];
    int ne = 0;
    for (int i = 0; i < n; i += N) {
        const int m = std::min(N, n - i);
        const auto idx = hn::Iota(dd, double(i));
        const auto x = hn::MulAdd(idx, vax, vsx), y = hn::MulAdd(idx, vay, vsy);
        const auto fx = hn::Floor(x), fy = hn::Floor(y);
        const auto ok = hn::And(hn::And(hn::Ge(fx, lox), hn::Lt(fx, hix)), hn::And(hn::Ge(fy, loy), hn::Lt(fy, hiy)));
        // Lanes outside give zeros, so no conversion overflows.
        hn::Store(hn::DemoteTo(di, hn::IfThenElseZero(ok, hn::Sub(fx, lox))), di, ix);
        hn::Store(hn::DemoteTo(di, hn::IfThenElseZero(ok, hn::Sub(fy, loy))), di, iy);
        hn::Store(hn::DemoteTo(df, hn::IfThenElseZero(ok, hn::Sub(x, fx))), df, wx);
        hn::Store(hn::DemoteTo(df, hn::IfThenElseZero(ok, hn::Sub(y, fy))), df, wy);
        {
            // The source of these pixels some rows later, while the row is still being read.
            const double px = sx + (i + 2) * ax + pfx - bx, py = sy + (i + 2) * ay + pfy - by;
            if (px >= 0 && py >= 0 && px < bw && py < bh - 1) {
                const float* q = src + size_t(int(py)) * stride + size_t(int(px)) * 4;
                hwy::Prefetch(q);
                hwy::Prefetch(q + stride);
            }
        }
        float* out = o + 4 * size_t(i);
        if (m == N && hn::AllTrue(dd, ok)) {
            int k = 0;
            for (; k + 2 <= m; k += 2) {
                const float* p = src + size_t(iy[k]) * stride + size_t(ix[k]) * 4;
                const float* q = src + size_t(iy[k + 1]) * stride + size_t(ix[k + 1]) * 4;
                MixTwo(hn::CappedTag<float, 8>(), p, q, stride, wx + k, wy + k, out + 4 * k);
            }
            if (k < m) {
                const float* p = src + size_t(iy[k]) * stride + size_t(ix[k]) * 4;
                MixOne(p, p + stride, wx[k], wy[k], out + 4 * k);
            }
            continue;
        }
        hn::Store(hn::IfThenElseZero(ok, hn::Set(dd, 1.0)), dd, inside);
        for (int k = 0; k < m; ++k) {
            if (inside[k] != 0.0) {
                const float* p = src + size_t(iy[k]) * stride + size_t(ix[k]) * 4;
                MixOne(p, p + stride, wx[k], wy[k], out + 4 * k);
            } else {
                edges[ne++] = i + k;
            }
        }
    }
    return ne;
}

int BilinearColumnsRow(const float* row0, const float* row1, int w, const int* cx, const float* cw, float wy, int n,
                       float* o, int* edges) {
    const hn::CappedTag<float, 4> d4;
    const size_t L = hn::Lanes(d4);
    const auto vy = hn::Set(d4, wy);
    int ne = 0;
    for (int i = 0; i < n; ++i) {
        const int x0 = cx[i];
        if (x0 >= 0 && x0 + 1 < w) {
            // Across first, then between the rows, each a multiply and an add as the engine's
            // sampler does it: steep curves downstream (the flame's tongues) magnify any change.
            const float* p0 = row0 + size_t(x0) * 4;
            const float* p1 = row1 + size_t(x0) * 4;
            const auto vx = hn::Set(d4, cw[i]);
            for (size_t c = 0; c < 4; c += L) {
                const auto a0 = hn::LoadU(d4, p0 + c), a1 = hn::LoadU(d4, p0 + 4 + c);
                const auto b0 = hn::LoadU(d4, p1 + c), b1 = hn::LoadU(d4, p1 + 4 + c);
                const auto bot = hn::Add(a0, hn::Mul(hn::Sub(a1, a0), vx));
                const auto top = hn::Add(b0, hn::Mul(hn::Sub(b1, b0), vx));
                hn::StoreU(hn::Add(bot, hn::Mul(hn::Sub(top, bot), vy)), d4, o + 4 * size_t(i) + c);
            }
        } else
            edges[ne++] = i;
    }
    return ne;
}

void MixRows(const float* a, const float* b, size_t n, float w, float* o) { LerpFloats(a, b, n, w, o); }

void TapsRow(const float* m, const int* cx, const float* cw, int base, int n, float* o) {
    const hn::CappedTag<float, 4> d4;
    const size_t L = hn::Lanes(d4);
    for (int i = 0; i < n; ++i) {
        const float* p = m + size_t(cx[i] - base) * 4;
        const auto vx = hn::Set(d4, cw[i]);
        for (size_t c = 0; c < 4; c += L) {
            const auto a = hn::LoadU(d4, p + c), b = hn::LoadU(d4, p + 4 + c);
            hn::StoreU(hn::Add(a, hn::Mul(hn::Sub(b, a), vx)), d4, o + 4 * size_t(i) + c);
        }
    }
}

void StreamFloats(const float* src, size_t n, float* dst) {
    const DF d;
    const size_t N = hn::Lanes(d);
    size_t i = 0;
    // Aligned whole vectors straight to memory, past the caches; the ends as usual.
    while (i < n && reinterpret_cast<uintptr_t>(dst + i) % (N * sizeof(float)) != 0) {
        dst[i] = src[i];
        ++i;
    }
    for (; i + N <= n; i += N) hn::Stream(hn::LoadU(d, src + i), d, dst + i);
    for (; i < n; ++i) dst[i] = src[i];
}

void ToHalves(const float* src, size_t n, uint16_t* dst) {
    const DF d;
    const hn::RebindToUnsigned<DF> du;
    const hn::Rebind<hwy::float16_t, DF> dh;
    const hn::RebindToUnsigned<decltype(dh)> dh16;
    const size_t N = hn::Lanes(d);
    const auto half = [&](VF v) {
#if HWY_TARGET >= HWY_SSE4
        // Without the conversion instructions the demotion truncates: round to nearest even first.
        const auto bits = hn::BitCast(du, v);
        const auto lsb = hn::And(hn::ShiftRight<13>(bits), hn::Set(du, 1u));
        v = hn::BitCast(d, hn::Add(bits, hn::Add(hn::Set(du, 0xFFFu), lsb)));
#else
        (void)du;
#endif
        return hn::BitCast(dh16, hn::DemoteTo(dh, v));
    };
    size_t i = 0;
    for (; i + N <= n; i += N) hn::StoreU(half(hn::LoadU(d, src + i)), dh16, dst + i);
    if (i < n) {
        HWY_ALIGN float tail[kMaxPixels] = {};
        HWY_ALIGN uint16_t out[kMaxPixels];
        std::memcpy(tail, src + i, (n - i) * sizeof(float));
        hn::Store(half(hn::Load(d, tail)), dh16, out);
        std::memcpy(dst + i, out, (n - i) * sizeof(uint16_t));
    }
}

void FromHalves(const uint16_t* src, size_t n, float* dst) {
    const DF d;
    const hn::Rebind<hwy::float16_t, DF> dh;
    const hn::RebindToUnsigned<decltype(dh)> dh16;
    const size_t N = hn::Lanes(d);
    size_t i = 0;
    for (; i + N <= n; i += N) hn::StoreU(hn::PromoteTo(d, hn::BitCast(dh, hn::LoadU(dh16, src + i))), d, dst + i);
    if (i < n) {
        HWY_ALIGN uint16_t tail[kMaxPixels] = {};
        HWY_ALIGN float out[kMaxPixels];
        std::memcpy(tail, src + i, (n - i) * sizeof(uint16_t));
        hn::Store(hn::PromoteTo(d, hn::BitCast(dh, hn::Load(dh16, tail))), d, out);
        std::memcpy(dst + i, out, (n - i) * sizeof(float));
    }
}

void OverRow(const float* f, const float* bg, int n, float* o) {
    const DF d;
    Pixels(f, bg, o, n, [&](const float* a, const float* b, float* q) {
        VF fr, fg, fb, fa, r, g, bl, al;
        hn::LoadInterleaved4(d, a, fr, fg, fb, fa);
        hn::LoadInterleaved4(d, b ? b : q, r, g, bl, al);
        const VF k = hn::Sub(hn::Set(d, 1.0f), fa);
        hn::StoreInterleaved4(hn::MulAdd(r, k, fr), hn::MulAdd(g, k, fg), hn::MulAdd(bl, k, fb), hn::MulAdd(al, k, fa), d, q);
    });
}

#if HWY_TARGET == HWY_SCALAR
// One pixel at a time, channel by channel: the same operations in the same order.
template <bool kScreen>
void ChainRow(const kernels::ChainLayer* layers, int m, const float* bg, int n, float* o, bool) {
    const DF d;
    const VF one = hn::Set(d, 1.0f), zero = hn::Zero(d);
    const auto mix = [](VF lo, VF hi, VF w) { return hn::MulAdd(hn::Sub(hi, lo), w, lo); };
    for (int p = 0; p < n; ++p) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, (bg ? bg : o) + 4 * p, r, g, b, a);
        for (int i = 0; i < m; ++i) {
            const kernels::ChainLayer& L = layers[i];
            VF fr, fg, fb, fa;
            if (L.halves) {
                HWY_ALIGN float px[4];
                FromHalves(L.halves + 4 * p, 4, px);
                hn::LoadInterleaved4(d, px, fr, fg, fb, fa);
            } else {
                hn::LoadInterleaved4(d, L.row + 4 * p, fr, fg, fb, fa);
            }
            if (L.above) {  // down first, then across, as the move's rows are made
                VF r1, g1, b1, a1, r2, g2, b2, a2, r3, g3, b3, a3;
                hn::LoadInterleaved4(d, L.row + 4 * p + 4, r1, g1, b1, a1);
                hn::LoadInterleaved4(d, L.above + 4 * p, r2, g2, b2, a2);
                hn::LoadInterleaved4(d, L.above + 4 * p + 4, r3, g3, b3, a3);
                const VF wx = hn::Set(d, L.wx), wy = hn::Set(d, L.wy);
                fr = mix(mix(fr, r2, wy), mix(r1, r3, wy), wx), fg = mix(mix(fg, g2, wy), mix(g1, g3, wy), wx);
                fb = mix(mix(fb, b2, wy), mix(b1, b3, wy), wx), fa = mix(mix(fa, a2, wy), mix(a1, a3, wy), wx);
            }
            if (L.fade >= 0.0f) {
                const VF vk = hn::Set(d, L.fade);
                const VF na = Clamp01(d, hn::Mul(fa, vk));
                const VF sc = hn::IfThenElse(hn::Ge(fa, one), na, hn::IfThenElseZero(hn::Gt(fa, zero), vk));
                fr = hn::Mul(fr, sc), fg = hn::Mul(fg, sc), fb = hn::Mul(fb, sc), fa = na;
            } else if (L.gain) {  // as GainRow
                const auto lit = hn::Gt(fa, zero);
                fr = hn::IfThenElseZero(lit, hn::Mul(fr, hn::Set(d, L.gain[0])));
                fg = hn::IfThenElseZero(lit, hn::Mul(fg, hn::Set(d, L.gain[1])));
                fb = hn::IfThenElseZero(lit, hn::Mul(fb, hn::Set(d, L.gain[2])));
                fa = Clamp01(d, fa);
            }
            if (kScreen) {
                const VF vs = hn::Set(d, L.scale);
                const auto screen = [&](VF x, VF y) { return hn::NegMulAdd(x, y, hn::Add(x, y)); };
                r = screen(hn::Mul(fr, vs), r), g = screen(hn::Mul(fg, vs), g);
                b = screen(hn::Mul(fb, vs), b), a = screen(hn::Mul(fa, vs), a);
                continue;
            }
            const VF keep = hn::Sub(one, fa);
            r = hn::MulAdd(r, keep, fr), g = hn::MulAdd(g, keep, fg);
            b = hn::MulAdd(b, keep, fb), a = hn::MulAdd(a, keep, fa);
        }
        hn::StoreInterleaved4(r, g, b, a, d, o + 4 * p);
    }
}
#else
// Pixels as they lie in memory, a pixel to each 128-bit block with its alpha spread over the
// block: no shuffling of channels into planes and back. Every layer is read in the same loop, a
// register of each in turn, so the row is loaded and written once; the layer count is fixed at
// compile time for the usual chains, so each layer's weights stay in registers.
template <bool kScreen, int kLayers>
void ChainPass(const kernels::ChainLayer* layers, int m, const float* bg, int n, float* o, bool stream) {
    const DF d;
    const hn::RebindToSigned<DF> di;
    const int M = kLayers > 0 ? kLayers : m;
    const size_t N = hn::Lanes(d), floats = size_t(n) * 4, whole = floats / N * N;
    const auto alphaLane = hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(di, 0), hn::Set(di, 3)), hn::Set(di, 3)));
    const VF one = hn::Set(d, 1.0f), zero = hn::Zero(d);
    const auto mix = [](VF lo, VF hi, VF w) { return hn::MulAdd(hn::Sub(hi, lo), w, lo); };
    VF vk[kMaxChain], vs[kMaxChain], wx[kMaxChain], wy[kMaxChain];
    bool plainFade[kMaxChain];
    for (int i = 0; i < M; ++i) {
        // A gain's factors repeat with the channels: a pixel to each block of four lanes.
        if (layers[i].fade < 0.0f && layers[i].gain) {
            HWY_ALIGN float k4[4] = {layers[i].gain[0], layers[i].gain[1], layers[i].gain[2], 1.0f};
            vk[i] = hn::LoadDup128(d, k4);
        } else {
            vk[i] = hn::Set(d, std::max(layers[i].fade, 0.0f));
        }
        vs[i] = hn::Set(d, layers[i].scale);
        wx[i] = hn::Set(d, layers[i].wx);
        wy[i] = hn::Set(d, layers[i].wy);
        plainFade[i] = layers[i].fade >= 0.0f && layers[i].fade <= 1.0f;
    }
    const hn::Rebind<hwy::float16_t, DF> dh;
    const hn::RebindToUnsigned<decltype(dh)> dh16;
    // The register at offset j of every layer (rows `row`, `above`, or `halves`) over acc.
    const auto block = [&](const float* const* row, const float* const* above, const uint16_t* const* halves, size_t j,
                           VF acc) HWY_ATTR {
        for (int i = 0; i < M; ++i) {
            VF x = halves[i] ? hn::PromoteTo(d, hn::BitCast(dh, hn::LoadU(dh16, halves[i] + j))) : hn::LoadU(d, row[i] + j);
            if (above[i])  // down first, then across, as the move's rows are made
                x = mix(mix(x, hn::LoadU(d, above[i] + j), wy[i]),
                        mix(hn::LoadU(d, row[i] + j + 4), hn::LoadU(d, above[i] + j + 4), wy[i]), wx[i]);
            if (layers[i].fade >= 0.0f) {  // faded as AlphaScaleRow fades
                const VF fa = hn::Broadcast<3>(x);
                // Alphas in (0, 1] and a fade in [0, 1]: colour and alpha alike times the fade,
                // the same bits as the general form.
                if (plainFade[i] && hn::AllTrue(d, hn::And(hn::Gt(fa, zero), hn::Le(fa, one)))) {
                    x = hn::Mul(x, vk[i]);
                } else {
                    const VF na = Clamp01(d, hn::Mul(fa, vk[i]));
                    const VF sc = hn::IfThenElse(hn::Ge(fa, one), na, hn::IfThenElseZero(hn::Gt(fa, zero), vk[i]));
                    x = hn::IfThenElse(alphaLane, na, hn::Mul(x, sc));
                }
            } else if (layers[i].gain) {  // as GainRow: alpha clamped, nothing where it is 0 or less
                const VF fa = hn::Broadcast<3>(x);
                if (hn::AllTrue(d, hn::And(hn::Gt(fa, zero), hn::Le(fa, one)))) {
                    x = hn::Mul(x, vk[i]);
                } else {
                    x = hn::IfThenElseZero(hn::Gt(fa, zero), hn::IfThenElse(alphaLane, Clamp01(d, x), hn::Mul(x, vk[i])));
                }
            }
            if (kScreen) {  // then screened, as ScreenRow screens
                x = hn::Mul(x, vs[i]);
                acc = hn::NegMulAdd(x, acc, hn::Add(x, acc));
            } else {  // then over, as OverRow
                acc = hn::MulAdd(acc, hn::Sub(one, hn::Broadcast<3>(x)), x);
            }
        }
        return acc;
    };
    const float* under = bg ? bg : o;
    const float* row[kMaxChain];
    const float* above[kMaxChain];
    const uint16_t* halves[kMaxChain];
    for (int i = 0; i < M; ++i) {
        row[i] = layers[i].row;
        above[i] = layers[i].above;
        halves[i] = layers[i].halves;
    }
    size_t j = 0;
    if (stream && reinterpret_cast<uintptr_t>(o) % (N * sizeof(float)) == 0) {
        for (; j < whole; j += N) hn::Stream(block(row, above, halves, j, hn::LoadU(d, under + j)), d, o + j);
    } else {
        for (; j < whole; j += N) hn::StoreU(block(row, above, halves, j, hn::LoadU(d, under + j)), d, o + j);
    }
    if (j == floats) return;
    // The tail through padded copies (a moved layer's rows hold one pixel more).
    HWY_ALIGN float tails[kMaxChain][kMaxPixels + 4] = {}, tops[kMaxChain][kMaxPixels + 4] = {}, rest[kMaxPixels] = {};
    const size_t left = floats - j;
    for (int i = 0; i < M; ++i) {
        const size_t count = layers[i].above ? left + 4 : left;
        if (layers[i].halves)
            FromHalves(layers[i].halves + j, left, tails[i]);
        else
            std::memcpy(tails[i], layers[i].row + j, count * sizeof(float));
        row[i] = tails[i];
        above[i] = nullptr;
        halves[i] = nullptr;
        if (layers[i].above) {
            std::memcpy(tops[i], layers[i].above + j, count * sizeof(float));
            above[i] = tops[i];
        }
    }
    std::memcpy(rest, under + j, left * sizeof(float));
    hn::Store(block(row, above, halves, 0, hn::Load(d, rest)), d, rest);
    std::memcpy(o + j, rest, left * sizeof(float));
}

template <bool kScreen>
void ChainRow(const kernels::ChainLayer* layers, int m, const float* bg, int n, float* o, bool stream) {
    switch (m) {
        case 1: return ChainPass<kScreen, 1>(layers, m, bg, n, o, stream);
        case 2: return ChainPass<kScreen, 2>(layers, m, bg, n, o, stream);
        case 3: return ChainPass<kScreen, 3>(layers, m, bg, n, o, stream);
        case 4: return ChainPass<kScreen, 4>(layers, m, bg, n, o, stream);
        case 5: return ChainPass<kScreen, 5>(layers, m, bg, n, o, stream);
        default: return ChainPass<kScreen, 0>(layers, m, bg, n, o, stream);
    }
}
#endif

void OverChainRow(const kernels::ChainLayer* layers, int m, int n, float* o, const float* bg, bool stream) {
    ChainRow<false>(layers, m, bg, n, o, stream);
}
void ScreenChainRow(const kernels::ChainLayer* layers, int m, int n, float* o, const float* bg, bool stream) {
    ChainRow<true>(layers, m, bg, n, o, stream);
}

void ScreenRow(const float* f, float k, const float* bg, int n, float* o) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF vk = hn::Set(d, k);
    // Every channel alike: four pixels' floats as one run.
    Pixels(f, bg, o, n, [&](const float* a, const float* b, float* q) {
        for (int c = 0; c < 4 * N; c += N) {
            const VF x = hn::Mul(hn::LoadU(d, a + c), vk), y = hn::LoadU(d, (b ? b : q) + c);
            hn::StoreU(hn::NegMulAdd(x, y, hn::Add(x, y)), d, q + c);
        }
    });
}

void MultiplyRow(const float* f, float k, int n, float* o) {
    const DF d;
    const VF vk = hn::Set(d, k), one = hn::Set(d, 1.0f);
    Pixels(f, nullptr, o, n, [&](const float* a, const float*, float* q) {
        VF fr, fg, fb, fa, r, g, b, al;
        hn::LoadInterleaved4(d, a, fr, fg, fb, fa);
        hn::LoadInterleaved4(d, q, r, g, b, al);
        fr = hn::Mul(fr, vk), fg = hn::Mul(fg, vk), fb = hn::Mul(fb, vk), fa = hn::Mul(fa, vk);
        const VF ka = hn::Sub(one, al), kf = hn::Sub(one, fa);
        // The alpha lane by the same expression: fa·ba + fa(1 − ba) + ba(1 − fa) = fa + ba − fa·ba.
        const auto mix = [&](VF x, VF y) { return hn::MulAdd(y, kf, hn::MulAdd(x, ka, hn::Mul(x, y))); };
        hn::StoreInterleaved4(mix(fr, r), mix(fg, g), mix(fb, b), mix(fa, al), d, q);
    });
}

void MaskBlendRow(const float* f, const float* mask, int n, float* o) {
    const DF d;
    Pixels(f, mask, o, n, [&](const float* a, const float* m, float* q) {
        VF mr, mg, mb, ma;
        hn::LoadInterleaved4(d, m, mr, mg, mb, ma);
        // White masks (every channel its alpha, as gradients of white fading out are) weigh by
        // their alpha: the luminance over alpha is 1, which the curve keeps (to 4e-5).
        const bool white = hn::AllTrue(d, hn::And(hn::And(hn::Eq(mr, ma), hn::Eq(mg, ma)), hn::Eq(mb, ma)));
        ma = Clamp01(d, ma);
        VF k = ma;
        if (!white) {
            const auto live = hn::Gt(ma, hn::Zero(d));
            VF L = hn::Mul(hn::Set(d, filters::kLumR), mr);
            L = hn::MulAdd(hn::Set(d, filters::kLumG), mg, L);
            L = hn::MulAdd(hn::Set(d, filters::kLumB), mb, L);
            const VF y = hn::Div(L, hn::IfThenElse(live, ma, hn::Set(d, 1.0f)));
            k = hn::IfThenElseZero(live, hn::Mul(SrgbEncode(d, y), ma));
        }
        VF fr, fg, fb, fa, r, g, b, al;
        hn::LoadInterleaved4(d, a, fr, fg, fb, fa);
        hn::LoadInterleaved4(d, q, r, g, b, al);
        const auto mix = [&](VF x, VF bg) { return hn::MulAdd(k, hn::Sub(x, bg), bg); };
        hn::StoreInterleaved4(mix(fr, r), mix(fg, g), mix(fb, b), mix(fa, al), d, q);
    });
}

void MatrixRow(const float* m, const float* src, float* p, int n) {
    const DF d;
    Pixels(src, nullptr, p, n, [&](const float* s, const float*, float* q) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, s, r, g, b, a);
        const VF zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        // Unpremultiply (opaque pixels as they are); transparent pixels become (0, 0, 0, 0).
        const auto opaque = hn::Ge(a, one);
        if (!hn::AllTrue(d, opaque)) {
            const VF inv = hn::IfThenElseZero(hn::Gt(a, zero), hn::Div(one, hn::Max(a, hn::Set(d, 1e-30f))));
            r = hn::IfThenElse(opaque, r, hn::Mul(r, inv));
            g = hn::IfThenElse(opaque, g, hn::Mul(g, inv));
            b = hn::IfThenElse(opaque, b, hn::Mul(b, inv));
            a = hn::IfThenElse(opaque, a, hn::Max(a, zero));
        }
        const auto row = [&](const float* k) {
            VF v = hn::MulAdd(hn::Set(d, k[0]), r, hn::Set(d, k[4]));
            v = hn::MulAdd(hn::Set(d, k[1]), g, v);
            v = hn::MulAdd(hn::Set(d, k[2]), b, v);
            return hn::MulAdd(hn::Set(d, k[3]), a, v);
        };
        const VF nr = row(m), ng = row(m + 5), nb = row(m + 10);
        const VF na = Clamp01(d, row(m + 15));
        hn::StoreInterleaved4(hn::Mul(nr, na), hn::Mul(ng, na), hn::Mul(nb, na), na, d, q);
    });
}

void GainRow(const float* k, const float* src, float* p, int n) {
    const DF d;
    Pixels(src, nullptr, p, n, [&](const float* s, const float*, float* q) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, s, r, g, b, a);
        const auto lit = hn::Gt(a, hn::Zero(d));
        hn::StoreInterleaved4(hn::IfThenElseZero(lit, hn::Mul(r, hn::Set(d, k[0]))), hn::IfThenElseZero(lit, hn::Mul(g, hn::Set(d, k[1]))),
                              hn::IfThenElseZero(lit, hn::Mul(b, hn::Set(d, k[2]))), Clamp01(d, a), d, q);
    });
}

void AlphaScaleRow(float k, const float* src, float* p, int n) {
    const DF d;
    Pixels(src, nullptr, p, n, [&](const float* s, const float*, float* q) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, s, r, g, b, a);
        const VF zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        // What the matrix does, without the division: an opaque pixel's colour is scaled by the
        // new alpha, a translucent one's by k (its colour over its alpha, times alpha · k).
        const VF na = Clamp01(d, hn::Mul(a, hn::Set(d, k)));
        const VF f = hn::IfThenElse(hn::Ge(a, one), na, hn::IfThenElseZero(hn::Gt(a, zero), hn::Set(d, k)));
        hn::StoreInterleaved4(hn::Mul(r, f), hn::Mul(g, f), hn::Mul(b, f), na, d, q);
    });
}

// Premultiplied encoded channels of pixels with alpha a: each channel unpremultiplied (one
// above its alpha is not a premultiplied colour and is taken as it stands), through the sRGB
// curve, times the clamped alpha. The division is made once for the channels.
struct PremultipliedEncoder {
    explicit PremultipliedEncoder(VF alpha)
        : a(alpha), ac(Clamp01(DF(), alpha)), live(hn::Gt(alpha, hn::Zero(DF()))), opaque(hn::Ge(alpha, hn::Set(DF(), 1.0f))),
          inv(hn::Div(hn::Set(DF(), 1.0f), hn::IfThenElse(live, alpha, hn::Set(DF(), 1.0f)))) {}
    VF operator()(VF c) const {
        const VF un = hn::IfThenElse(opaque, c, hn::IfThenElseZero(live, hn::IfThenElse(hn::Gt(c, a), c, hn::Mul(c, inv))));
        return hn::Mul(SrgbEncode(DF(), un), ac);
    }
    VF a, ac;
    hn::Mask<DF> live, opaque;
    VF inv;
};

void EncodePremultipliedRow(const float* src, size_t n, float* enc) {
    const DF d;
    const size_t N = hn::Lanes(d);
    const auto block = [&](const float* s, float* e) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, s, r, g, b, a);
        const PremultipliedEncoder encode(a);
        hn::StoreInterleaved4(encode(r), encode(g), encode(b), a, d, e);
    };
    size_t i = 0;
    for (; i + N <= n; i += N) block(src + 4 * i, enc + 4 * i);
    if (i < n) {
        HWY_ALIGN float ts[4 * kMaxPixels] = {}, te[4 * kMaxPixels];
        std::memcpy(ts, src + 4 * i, (n - i) * 4 * sizeof(float));
        block(ts, te);
        std::memcpy(enc + 4 * i, te, (n - i) * 4 * sizeof(float));
    }
}

void SobelRow(const float* m0, const float* m1, const float* m2, float k, int n, float* o) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF two = hn::Set(d, 2.0f), vk = hn::Set(d, k);
    // Every channel's magnitude alike, over the row's floats; then the centre's alpha.
    const auto mags = [&](const float* b, const float* m, const float* t, float* out) {
        const VF bl = hn::LoadU(d, b), bc = hn::LoadU(d, b + 4), br = hn::LoadU(d, b + 8);
        const VF ml = hn::LoadU(d, m), mr = hn::LoadU(d, m + 8);
        const VF tl = hn::LoadU(d, t), tc = hn::LoadU(d, t + 4), tr = hn::LoadU(d, t + 8);
        const VF gx = hn::Add(hn::Sub(br, bl), hn::MulAdd(two, hn::Sub(mr, ml), hn::Sub(tr, tl)));
        const VF gy = hn::Add(hn::Sub(tl, bl), hn::MulAdd(two, hn::Sub(tc, bc), hn::Sub(tr, br)));
        hn::StoreU(SrgbDecode(d, hn::Mul(vk, hn::Sqrt(hn::MulAdd(gx, gx, hn::Mul(gy, gy))))), d, out);
    };
    const int floats = 4 * n;
    int j = 0;
    for (; j + N <= floats; j += N) mags(m0 + j, m1 + j, m2 + j, o + j);
    if (j < floats) {
        HWY_ALIGN float tb[kMaxPixels + 8] = {}, tm[kMaxPixels + 8] = {}, tt[kMaxPixels + 8] = {}, to[kMaxPixels];
        const size_t bytes = size_t(floats - j + 8) * sizeof(float);
        std::memcpy(tb, m0 + j, bytes);
        std::memcpy(tm, m1 + j, bytes);
        std::memcpy(tt, m2 + j, bytes);
        mags(tb, tm, tt, to);
        std::memcpy(o + j, to, size_t(floats - j) * sizeof(float));
    }
    Pixels(m1 + 4, nullptr, o, n, [&](const float* c, const float*, float* q) {
        VF r, g, b, a, cr, cg, cb, ca;
        hn::LoadInterleaved4(d, q, r, g, b, a);
        hn::LoadInterleaved4(d, c, cr, cg, cb, ca);
        const VF ac = Clamp01(d, ca);
        hn::StoreInterleaved4(hn::Mul(r, ac), hn::Mul(g, ac), hn::Mul(b, ac), ac, d, q);
    });
}

// Grey pictures: the encoded red channel alone, the same values EncodePremultipliedRow gives it.
void EncodeGreyPlane(const float* src, size_t n, float* plane) {
    const DF d;
    const size_t N = hn::Lanes(d);
    const auto block = [&](const float* s, float* e) {
        VF r, g, b, a;
        hn::LoadInterleaved4(d, s, r, g, b, a);
        hn::StoreU(PremultipliedEncoder(a)(r), d, e);
    };
    size_t i = 0;
    for (; i + N <= n; i += N) block(src + 4 * i, plane + i);
    if (i < n) {
        HWY_ALIGN float ts[4 * kMaxPixels] = {}, te[kMaxPixels];
        std::memcpy(ts, src + 4 * i, (n - i) * 4 * sizeof(float));
        block(ts, te);
        std::memcpy(plane + i, te, (n - i) * sizeof(float));
    }
}

// SobelRow on one plane, written to all three colour channels; alpha from the centre pixels.
void SobelGreyRow(const float* m0, const float* m1, const float* m2, const float* centre, float k, int n, float* o) {
    const DF d;
    const int N = int(hn::Lanes(d));
    const VF two = hn::Set(d, 2.0f), vk = hn::Set(d, k);
    const auto block = [&](const float* b, const float* m, const float* t, const float* c, float* q) {
        const VF bl = hn::LoadU(d, b), bc = hn::LoadU(d, b + 1), br = hn::LoadU(d, b + 2);
        const VF ml = hn::LoadU(d, m), mr = hn::LoadU(d, m + 2);
        const VF tl = hn::LoadU(d, t), tc = hn::LoadU(d, t + 1), tr = hn::LoadU(d, t + 2);
        const VF gx = hn::Add(hn::Sub(br, bl), hn::MulAdd(two, hn::Sub(mr, ml), hn::Sub(tr, tl)));
        const VF gy = hn::Add(hn::Sub(tl, bl), hn::MulAdd(two, hn::Sub(tc, bc), hn::Sub(tr, br)));
        const VF v = SrgbDecode(d, hn::Mul(vk, hn::Sqrt(hn::MulAdd(gx, gx, hn::Mul(gy, gy)))));
        VF cr, cg, cb, ca;
        hn::LoadInterleaved4(d, c, cr, cg, cb, ca);
        const VF ac = Clamp01(d, ca);
        const VF g = hn::Mul(v, ac);
        hn::StoreInterleaved4(g, g, g, ac, d, q);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(m0 + i, m1 + i, m2 + i, centre + 4 * i, o + 4 * i);
    if (i < n) {
        HWY_ALIGN float tb[kMaxPixels + 2] = {}, tm[kMaxPixels + 2] = {}, tt[kMaxPixels + 2] = {};
        HWY_ALIGN float tc[4 * kMaxPixels] = {}, to[4 * kMaxPixels];
        const size_t f = size_t(n - i + 2) * sizeof(float);
        std::memcpy(tb, m0 + i, f);
        std::memcpy(tm, m1 + i, f);
        std::memcpy(tt, m2 + i, f);
        std::memcpy(tc, centre + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(tb, tm, tt, tc, to);
        std::memcpy(o + 4 * i, to, size_t(n - i) * 4 * sizeof(float));
    }
}

namespace {
// Lanes(d) 16-bit channels to floats; a division, so a full channel is exactly 1.
template <class D16>
HWY_INLINE VF Channel16(DF d, D16 d16, const uint16_t* p) {
    const hn::RebindToSigned<DF> di;
    return hn::Div(hn::ConvertTo(d, hn::BitCast(di, hn::PromoteTo(hn::RebindToUnsigned<DF>(), hn::LoadU(d16, p)))),
                   hn::Set(d, 65535.0f));
}
}  // namespace

void DecodeRgba64Row(const uint64_t* src, int n, float* o) {
    const DF d;
    const hn::Rebind<uint16_t, DF> d16;
    const int N = int(hn::Lanes(d));
    const uint16_t* s = reinterpret_cast<const uint16_t*>(src);
    const int values = 4 * n;
    int j = 0;
    for (; j + N <= values; j += N) hn::StoreU(Channel16(d, d16, s + j), d, o + j);
    if (j < values) {
        HWY_ALIGN uint16_t ts[kMaxPixels] = {};
        HWY_ALIGN float to[kMaxPixels];
        std::memcpy(ts, s + j, size_t(values - j) * sizeof(uint16_t));
        hn::Store(Channel16(d, d16, ts), d, to);
        std::memcpy(o + j, to, size_t(values - j) * sizeof(float));
    }
}

void OverRgba64Row(const uint64_t* a, const uint64_t* b, float w0, float w1, int n, float* o) {
    const DF d;
    const hn::RebindToUnsigned<DF> du;
    const hn::RebindToSigned<DF> di;
    const hn::Rebind<uint16_t, DF> d16;
    const int N = int(hn::Lanes(d));
    const VF vw0 = hn::Set(d, w0), vw1 = hn::Set(d, w1), one = hn::Set(d, 1.0f);
    const auto planes = [&](const uint64_t* p, VF& r, VF& g, VF& bl, VF& al) {
        hn::Vec<decltype(d16)> r16, g16, b16, a16;
        hn::LoadInterleaved4(d16, reinterpret_cast<const uint16_t*>(p), r16, g16, b16, a16);
        const auto f = [&](hn::Vec<decltype(d16)> v) {
            return hn::Div(hn::ConvertTo(d, hn::BitCast(di, hn::PromoteTo(du, v))), hn::Set(d, 65535.0f));
        };
        r = f(r16), g = f(g16), bl = f(b16), al = f(a16);
    };
    const auto block = [&](const uint64_t* pa, const uint64_t* pb, float* q) {
        VF fr, fg, fb, fa;
        planes(pa, fr, fg, fb, fa);
        fr = hn::Mul(fr, vw0), fg = hn::Mul(fg, vw0), fb = hn::Mul(fb, vw0), fa = hn::Mul(fa, vw0);
        if (pb) {
            VF sr, sg, sb, sa;
            planes(pb, sr, sg, sb, sa);
            fr = hn::MulAdd(sr, vw1, fr), fg = hn::MulAdd(sg, vw1, fg), fb = hn::MulAdd(sb, vw1, fb), fa = hn::MulAdd(sa, vw1, fa);
        }
        VF r, g, bl, al;
        hn::LoadInterleaved4(d, q, r, g, bl, al);
        const VF k = hn::Sub(one, fa);
        hn::StoreInterleaved4(hn::MulAdd(r, k, fr), hn::MulAdd(g, k, fg), hn::MulAdd(bl, k, fb), hn::MulAdd(al, k, fa), d, q);
    };
    int i = 0;
    for (; i + N <= n; i += N) block(a + i, b ? b + i : nullptr, o + 4 * i);
    if (i < n) {
        HWY_ALIGN uint64_t ta[kMaxPixels] = {}, tb[kMaxPixels] = {};
        HWY_ALIGN float to[4 * kMaxPixels] = {};
        std::memcpy(ta, a + i, size_t(n - i) * sizeof(uint64_t));
        if (b) std::memcpy(tb, b + i, size_t(n - i) * sizeof(uint64_t));
        std::memcpy(to, o + 4 * i, size_t(n - i) * 4 * sizeof(float));
        block(ta, b ? tb : nullptr, to);
        std::memcpy(o + 4 * i, to, size_t(n - i) * 4 * sizeof(float));
    }
}

}  // namespace ostrela::engine::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ostrela::engine {
HWY_EXPORT(ResampleRow);
HWY_EXPORT(BilinearColumnsRow);
HWY_EXPORT(ToHalves);
HWY_EXPORT(StreamFloats);
HWY_EXPORT(FromHalves);
HWY_EXPORT(OverRow);
HWY_EXPORT(OverChainRow);
HWY_EXPORT(MixRows);
HWY_EXPORT(TapsRow);
HWY_EXPORT(ScreenChainRow);
HWY_EXPORT(ScreenRow);
HWY_EXPORT(MultiplyRow);
HWY_EXPORT(MaskBlendRow);
HWY_EXPORT(MatrixRow);
HWY_EXPORT(AlphaScaleRow);
HWY_EXPORT(GainRow);
HWY_EXPORT(EncodePremultipliedRow);
HWY_EXPORT(SobelRow);
HWY_EXPORT(EncodeGreyPlane);
HWY_EXPORT(SobelGreyRow);
HWY_EXPORT(DecodeRgba64Row);
HWY_EXPORT(OverRgba64Row);

namespace kernels {
int resampleRow(const float* src, int bx, int by, int bw, int bh, double sx, double sy, double ax, double ay,
                double pfx, double pfy, int n, float* o, int* edges) {
    return HWY_DYNAMIC_DISPATCH(ResampleRow)(src, bx, by, bw, bh, sx, sy, ax, ay, pfx, pfy, n, o, edges);
}
int bilinearColumnsRow(const float* row0, const float* row1, int w, const int* cx, const float* cw, float wy, int n,
                       float* o, int* edges) {
    return HWY_DYNAMIC_DISPATCH(BilinearColumnsRow)(row0, row1, w, cx, cw, wy, n, o, edges);
}
void toHalves(const float* src, size_t n, uint16_t* dst) { HWY_DYNAMIC_DISPATCH(ToHalves)(src, n, dst); }
void streamFloats(const float* src, size_t n, float* dst) { HWY_DYNAMIC_DISPATCH(StreamFloats)(src, n, dst); }
void mixRows(const float* a, const float* b, size_t n, float w, float* o) { HWY_DYNAMIC_DISPATCH(MixRows)(a, b, n, w, o); }
void tapsRow(const float* m, const int* cx, const float* cw, int base, int n, float* o) {
    HWY_DYNAMIC_DISPATCH(TapsRow)(m, cx, cw, base, n, o);
}
void fromHalves(const uint16_t* src, size_t n, float* dst) { HWY_DYNAMIC_DISPATCH(FromHalves)(src, n, dst); }
void overRow(const float* f, int n, float* o) { HWY_DYNAMIC_DISPATCH(OverRow)(f, nullptr, n, o); }
void overRowFrom(const float* f, const float* bg, int n, float* o) { HWY_DYNAMIC_DISPATCH(OverRow)(f, bg, n, o); }
void overChainRow(const ChainLayer* layers, int m, int n, float* o, const float* bg, bool stream) {
    HWY_DYNAMIC_DISPATCH(OverChainRow)(layers, std::min(m, kMaxOverChain), n, o, bg, stream);
}
void screenChainRow(const ChainLayer* layers, int m, int n, float* o, const float* bg, bool stream) {
    HWY_DYNAMIC_DISPATCH(ScreenChainRow)(layers, std::min(m, kMaxOverChain), n, o, bg, stream);
}
void screenRow(const float* f, float k, int n, float* o) { HWY_DYNAMIC_DISPATCH(ScreenRow)(f, k, nullptr, n, o); }
void screenRowFrom(const float* f, float k, const float* bg, int n, float* o) { HWY_DYNAMIC_DISPATCH(ScreenRow)(f, k, bg, n, o); }
void multiplyRow(const float* f, float k, int n, float* o) { HWY_DYNAMIC_DISPATCH(MultiplyRow)(f, k, n, o); }
void maskBlendRow(const float* f, const float* mask, int n, float* o) { HWY_DYNAMIC_DISPATCH(MaskBlendRow)(f, mask, n, o); }
void matrixRow(const float* m, float* p, int n) { HWY_DYNAMIC_DISPATCH(MatrixRow)(m, p, p, n); }
void matrixRowFrom(const float* m, const float* src, float* p, int n) { HWY_DYNAMIC_DISPATCH(MatrixRow)(m, src, p, n); }
void alphaScaleRow(float k, const float* src, float* p, int n) { HWY_DYNAMIC_DISPATCH(AlphaScaleRow)(k, src, p, n); }
void gainRow(const float* k, const float* src, float* p, int n) { HWY_DYNAMIC_DISPATCH(GainRow)(k, src, p, n); }
void encodePremultipliedRow(const float* src, size_t n, float* enc) {
    HWY_DYNAMIC_DISPATCH(EncodePremultipliedRow)(src, n, enc);
}
void sobelRow(const float* m0, const float* m1, const float* m2, float k, int n, float* o) {
    HWY_DYNAMIC_DISPATCH(SobelRow)(m0, m1, m2, k, n, o);
}
void encodeGreyPlane(const float* src, size_t n, float* plane) { HWY_DYNAMIC_DISPATCH(EncodeGreyPlane)(src, n, plane); }
void sobelGreyRow(const float* m0, const float* m1, const float* m2, const float* centre, float k, int n, float* o) {
    HWY_DYNAMIC_DISPATCH(SobelGreyRow)(m0, m1, m2, centre, k, n, o);
}
void decodeRgba64Row(const uint64_t* src, int n, float* o) { HWY_DYNAMIC_DISPATCH(DecodeRgba64Row)(src, n, o); }
void overRgba64Row(const uint64_t* a, const uint64_t* b, float w0, float w1, int n, float* o) {
    HWY_DYNAMIC_DISPATCH(OverRgba64Row)(a, b, w0, w1, n, o);
}
}  // namespace kernels
}  // namespace ostrela::engine
#endif
