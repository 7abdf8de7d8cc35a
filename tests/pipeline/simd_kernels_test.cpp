// Each vector kernel of the engine on every target compiled in and supported here, against a
// plain scalar statement of what it computes. Rows of odd lengths cover the padded tails.
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/PixelKernels.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

using namespace ostrela;
using namespace ostrela::engine;

namespace {
// The engine's noise as NoiseNode states it.
float noiseValue(int x, int y, int c) {
    const uint64_t key = (uint64_t(uint32_t(x)) << 32 | uint32_t(y)) * 0x9E3779B97F4A7C15ull;
    uint64_t h = key + uint64_t(c) * 0xD1B54A32D192ED03ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return float(uint32_t(h) >> 8) * (1.0f / 16777216.0f);
}
}  // namespace

TEST(SimdKernels, NoiseIsTheHashOnEveryTarget) {
    test::forEachSimdTarget([] {
        for (const int n : {1, 3, 16, 203}) {
            for (const int x0 : {-70000, -5, 0, 1279}) {
                std::vector<float> out(size_t(n) * 4, -1.0f);
                kernels::noiseRow(x0, 717, n, out.data());
                for (int i = 0; i < n; ++i)
                    for (int c = 0; c < 4; ++c) ASSERT_EQ(out[4 * i + c], noiseValue(x0 + i, 717, c)) << "x " << x0 + i << " c " << c;
            }
        }
    });
}

// Rows of a radial gradient against its formula in doubles, soft and hard-edged, every row length
// through the padded tail; the guards past the row stay untouched.
TEST(SimdKernels, RadialGradientRowsOnEveryTarget) {
    const float c0[4] = {0.5f, 0.4f, 0.2f, 0.6f}, c1[4] = {0.1f, 0.0f, 0.3f, 0.0f};
    const float dc[4] = {c1[0] - c0[0], c1[1] - c0[1], c1[2] - c0[2], c1[3] - c0[3]};
    test::forEachSimdTarget([&] {
        for (const int n : {1, 5, 16, 41}) {
            for (const float inv : {1.0f / 12.0f, -1.0f / 7.0f, 0.0f}) {
                std::vector<float> o(size_t(n + 1) * 4, -9.0f);
                kernels::radialGradientRow(o.data(), n, -20.5f, 9.0f, 4.0f, inv, c0, dc);
                for (int i = 0; i < n; ++i) {
                    const double dx = -20.5 + i, dist = std::sqrt(dx * dx + 9.0);
                    const double t = inv != 0 ? std::clamp((dist - 4.0) * inv, 0.0, 1.0) : (dist < 4.0 ? 0.0 : 1.0);
                    for (int c = 0; c < 4; ++c) ASSERT_NEAR(o[4 * i + c], c0[c] + dc[c] * t, 2e-6) << n << " " << i << " " << c;
                }
                for (int c = 0; c < 4; ++c) ASSERT_EQ(o[size_t(n) * 4 + c], -9.0f);
            }
        }
        // Exactly on the hard edge the outer colour begins.
        float e[4];
        kernels::radialGradientRow(e, 1, 4.0f, 0.0f, 4.0f, 0.0f, c0, dc);
        EXPECT_FLOAT_EQ(e[0], c1[0]);
    });
}

TEST(SimdKernels, EveryOpaqueCodeSurvivesDecodeAndEncodeOnEveryTarget) {
    test::forEachSimdTarget([] {
        // 256 pixels a row plus a tail, one translucent pixel in the middle.
        const int n = 259;
        std::vector<uint8_t> in(size_t(n) * 4), back(size_t(n) * 4);
        for (int i = 0; i < n; ++i) {
            in[4 * i] = uint8_t(i), in[4 * i + 1] = uint8_t(255 - i % 256), in[4 * i + 2] = uint8_t(i * 7), in[4 * i + 3] = 255;
        }
        in[4 * 100 + 3] = 128, in[4 * 100] = 60, in[4 * 100 + 1] = 90, in[4 * 100 + 2] = 128;
        std::vector<float> lin(size_t(n) * 4);
        color::decodeRow(in.data(), n, lin.data());
        for (int i = 0; i < n; ++i) {
            if (i == 100) continue;
            ASSERT_FLOAT_EQ(lin[4 * i], float(color::srgbToLinear(in[4 * i + 2] / 255.0))) << i;
            ASSERT_EQ(lin[4 * i + 3], 1.0f);
        }
        EXPECT_NEAR(lin[4 * 100 + 3], 128 / 255.0, 1e-6);
        color::encodeRow(lin.data(), n, back.data());
        for (size_t k = 0; k < in.size(); ++k) ASSERT_NEAR(int(back[k]), int(in[k]), k / 4 == 100 ? 1 : 0) << "byte " << k;
    });
}

TEST(SimdKernels, EncodeFollowsTheCurveOnEveryTarget) {
    test::forEachSimdTarget([] {
        const int n = 4099;
        std::vector<float> lin(size_t(n) * 4);
        for (int i = 0; i < n; ++i) {
            const float v = float(i) / (n - 1);
            lin[4 * i] = v, lin[4 * i + 1] = v * v, lin[4 * i + 2] = 1.0f - v, lin[4 * i + 3] = 1.0f;
        }
        lin[4 * 7 + 1] = 1.7f, lin[4 * 8 + 1] = -0.2f, lin[4 * 9 + 1] = NAN;  // clamped, NaN to 0
        std::vector<uint8_t> out(size_t(n) * 4);
        color::encodeRow(lin.data(), n, out.data());
        for (int i = 0; i < n; ++i) {
            for (int c = 0; c < 3; ++c) {
                const float v = lin[4 * i + c];
                const double exact = 255.0 * color::linearToSRGB(std::isnan(v) ? 0.0 : v);
                ASSERT_NEAR(double(out[4 * i + 2 - c]), exact, 0.502) << "pixel " << i << " channel " << c;
            }
            ASSERT_EQ(out[4 * i + 3], 255);
        }
    });
}

TEST(SimdKernels, GammaAndVignetteOnEveryTarget) {
    test::forEachSimdTarget([] {
        const int n = 37;
        std::vector<float> px(size_t(n) * 4), dx2(n);
        for (int i = 0; i < n; ++i) {
            const float a = i % 5 == 0 ? 1.0f : (i % 7 == 0 ? 0.0f : 0.3f + 0.01f * i);
            px[4 * i] = 0.02f * i * a, px[4 * i + 1] = 0.5f * a, px[4 * i + 2] = (i % 3 == 0 ? a + 0.1f : 0.1f * a), px[4 * i + 3] = a;
            dx2[i] = float(i * i);
        }
        std::vector<float> g = px;
        kernels::gammaRow(g.data(), n, 2.2f);
        for (int i = 0; i < n; ++i) {
            const float a = px[4 * i + 3];
            for (int c = 0; c < 3; ++c) {
                const float v = px[4 * i + c];
                float un = a >= 1.0f ? v : (v > a ? v : v / a);
                const float expected = a > 0.0f ? std::pow(std::max(un, 0.0f), 2.2f) * a : 0.0f;
                ASSERT_NEAR(g[4 * i + c], expected, 2e-5 + 2e-5 * expected) << "pixel " << i << " channel " << c;
            }
            ASSERT_EQ(g[4 * i + 3], a > 0.0f ? a : 0.0f);
        }
        for (const bool darken : {true, false}) {
            std::vector<float> v = px;
            kernels::vignetteRow(v.data(), dx2.data(), n, 9.0f, 1e-3f, darken);
            for (int i = 0; i < n; ++i) {
                const double d = 1.0 + 1e-3 * (dx2[i] + 9.0);
                const double f = darken ? 1.0 / (d * d) : d * d;
                for (int c = 0; c < 3; ++c) ASSERT_NEAR(v[4 * i + c], px[4 * i + c] * f, 1e-6) << i;
                ASSERT_EQ(v[4 * i + 3], px[4 * i + 3]);
            }
        }
    });
}

TEST(SimdKernels, BlurTapsBoxAndExpansionOnEveryTarget) {
    test::forEachSimdTarget([] {
        const int r = 5, W = 73;  // pixels: a tail on every target
        const float w[r + 1] = {0.2f, 0.15f, 0.12f, 0.08f, 0.05f, 0.025f};
        std::vector<float> src(size_t(W + 2 * r) * 4);
        for (size_t k = 0; k < src.size(); ++k) src[k] = float((k * 37) % 101) / 100.0f;
        std::vector<float> out(size_t(W) * 4);
        kernels::symmetricTaps(src.data() + 4 * r, 4, r, w, out.size(), out.data());
        for (size_t j = 0; j < out.size(); ++j) {
            double s = w[0] * src[4 * r + j];
            for (int i = 1; i <= r; ++i) s += w[i] * (double(src[4 * r + j - 4 * i]) + src[4 * r + j + 4 * i]);
            ASSERT_NEAR(out[j], s, 1e-6) << j;
        }
        // 2× box: 37 grid pixels from 74 source pixels of two rows.
        const int nx = 37;
        std::vector<float> rows(size_t(nx) * 16), box(size_t(nx) * 4);
        for (size_t k = 0; k < rows.size(); ++k) rows[k] = float((k * 53) % 97) / 96.0f;
        const float* s0 = rows.data();
        const float* s1 = rows.data() + 8 * nx;
        kernels::boxRow2(s0, s1, nx, box.data());
        for (int u = 0; u < nx; ++u)
            for (int c = 0; c < 4; ++c) {
                const double e = 0.25 * (double(s0[8 * u + c]) + s1[8 * u + c] + s0[8 * u + 4 + c] + s1[8 * u + 4 + c]);
                ASSERT_NEAR(box[4 * u + c], e, 1e-6) << u;
            }
        // Expansion of a 2× grid: the regular pattern from an even and from an odd first pixel
        // equals the per-pixel rule.
        const int nu = 30;
        std::vector<float> mix(size_t(nu) * 4 + 8);
        const float* l0 = src.data();
        const float* l1 = src.data() + 40;
        for (const int x0 : {0, 1}) {
            const int n = 2 * nu - 4;
            std::vector<int> cx(n);
            std::vector<float> cw(n);
            for (int i = 0; i < n; ++i) {
                const double f = (x0 + 2 + i + 0.5) / 2 - 0.5, fl = std::floor(f);
                cx[i] = int(fl), cw[i] = float(f - fl);
            }
            std::vector<float> o(size_t(n) * 4);
            kernels::expandRow(l0, l1, nu, 0.3f, cx.data(), cw.data(), n, true, x0 == 1, mix.data(), o.data());
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < 4; ++c) {
                    auto at = [&](int u) { return l0[4 * u + c] + 0.3 * (double(l1[4 * u + c]) - l0[4 * u + c]); };
                    const double e = at(cx[i]) + cw[i] * (at(cx[i] + 1) - at(cx[i]));
                    ASSERT_NEAR(o[4 * i + c], e, 1e-6) << "x0 " << x0 << " pixel " << i;
                }
        }
    });
}

TEST(SimdKernels, ToneRunFollowsTheCurvesOnEveryTarget) {
    // A colour matrix, then false colour between two opaque colours, on premultiplied pixels.
    kernels::ToneParams st[2] = {};
    const float m[15] = {0.8f, 0.1f, 0.05f, 0.0f, 0.02f, 0.1f, 0.7f, 0.1f, 0.0f, -0.01f, 0.0f, 0.2f, 0.9f, 0.0f, 0.0f};
    st[0].isMatrix = true;
    std::copy(m, m + 15, st[0].m);
    st[1].isMatrix = false;
    const float c0[4] = {0.1f, 0.0f, 0.3f, 1.0f}, c1[4] = {0.9f, 1.0f, 0.6f, 1.0f};
    for (int c = 0; c < 4; ++c) st[1].c0[c] = c0[c], st[1].d[c] = c1[c] - c0[c];
    auto enc = [](double v) { return color::linearToSRGB(std::clamp(v, 0.0, 1.0)); };
    auto dec = [](double v) { return color::srgbToLinear(std::clamp(v, 0.0, 1.0)); };
    test::forEachSimdTarget([&] {
        const int n = 45;
        std::vector<float> px(size_t(n) * 4);
        for (int i = 0; i < n; ++i) {
            const float a = i % 3 == 0 ? 1.0f : 0.2f + 0.015f * i;
            px[4 * i] = a * float(i) / n, px[4 * i + 1] = a * float((i * 7) % n) / n, px[4 * i + 2] = a * 0.5f, px[4 * i + 3] = a;
        }
        std::vector<float> out = px;
        kernels::toneRun(out.data(), n, st, 2, false);
        for (int i = 0; i < n; ++i) {
            const double a = px[4 * i + 3];
            const double e[3] = {enc(px[4 * i] / a), enc(px[4 * i + 1] / a), enc(px[4 * i + 2] / a)};
            double s[3];
            for (int row = 0; row < 3; ++row) s[row] = m[5 * row] * e[0] + m[5 * row + 1] * e[1] + m[5 * row + 2] * e[2] + m[5 * row + 3] * a + m[5 * row + 4];
            const double L = std::clamp(0.2126 * s[0] + 0.7152 * s[1] + 0.0722 * s[2], 0.0, 1.0);
            for (int c = 0; c < 3; ++c) {
                const double expected = dec(c0[c] + (c1[c] - c0[c]) * L) * a;
                ASSERT_NEAR(out[4 * i + c], expected, 3e-4) << "pixel " << i << " channel " << c;
            }
            ASSERT_NEAR(out[4 * i + 3], a, 1e-7);
        }
    });
}

// The tone run straight from 8-bit pixels: opaque, translucent and transparent codes, every row
// length through the tail, against the run on the codes unpremultiplied as the decoder rounds
// them (min(255, (255 c + a / 2) / a) in integers); a gain scales the decoded colour after.
TEST(SimdKernels, ToneRunReadsBytesAsTheDecoderUnpremultipliesOnEveryTarget) {
    kernels::ToneParams st[1] = {};
    const float m[15] = {0.9f, 0.2f, 0.0f, 0.0f, -0.05f, 0.1f, 1.1f, -0.1f, 0.0f, 0.02f, 0.0f, 0.3f, 0.8f, 0.0f, 0.01f};
    st[0].isMatrix = true;
    std::copy(m, m + 15, st[0].m);
    const float gain[3] = {1.1f, 0.96f, 0.75f};
    const int n = 53;
    std::vector<uint8_t> px(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const int a = i % 4 == 0 ? 255 : i % 7 == 0 ? 0 : 9 + 5 * i;
        for (int c = 0; c < 3; ++c) px[size_t(4 * i + c)] = uint8_t(((i * 37 + c * 91) % 256) * a / 255);
        px[size_t(4 * i + 3)] = uint8_t(a);
    }
    std::vector<float> codes(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const unsigned a = px[size_t(4 * i + 3)];
        for (int c = 0; c < 3; ++c) {
            const unsigned v = px[size_t(4 * i + 2 - c)];
            codes[size_t(4 * i + c)] = a == 0 ? 0.0f : float(std::min(255u, (v * 255u + a / 2) / a)) * (1.0f / 255.0f);
        }
        codes[size_t(4 * i + 3)] = float(a) * (1.0f / 255.0f);
    }
    test::forEachSimdTarget([&] {
        for (const int len : {1, 7, 16, n}) {
            std::vector<float> expected(codes.begin(), codes.begin() + size_t(len) * 4), scaled = expected;
            kernels::toneRun(expected.data(), len, st, 1, true);
            kernels::toneRun(scaled.data(), len, st, 1, true, gain);
            std::vector<float> out(size_t(len + 1) * 4, -5.0f), outGain(size_t(len) * 4);
            kernels::toneRunBytes(px.data(), len, st, 1, nullptr, out.data());
            kernels::toneRunBytes(px.data(), len, st, 1, gain, outGain.data());
            for (int i = 0; i < len; ++i)
                for (int c = 0; c < 4; ++c) {
                    ASSERT_EQ(out[size_t(4 * i + c)], expected[size_t(4 * i + c)]) << len << " pixel " << i << " channel " << c;
                    ASSERT_EQ(outGain[size_t(4 * i + c)], scaled[size_t(4 * i + c)]) << len << " pixel " << i << " channel " << c;
                    ASSERT_EQ(scaled[size_t(4 * i + c)], expected[size_t(4 * i + c)] * (c < 3 ? gain[c] : 1.0f));
                }
            for (int c = 0; c < 4; ++c) ASSERT_EQ(out[size_t(len) * 4 + c], -5.0f);  // nothing past the row
            ASSERT_EQ(out[3], 1.0f);
        }
        std::vector<float> t(8);
        const uint8_t clear[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        kernels::toneRunBytes(clear, 2, st, 1, gain, t.data());
        for (float v : t) ASSERT_EQ(v, 0.0f);  // transparent pixels stay transparent
    });
}

// The tone run mixing two rows itself gives what mixRows and then the run give; a matrix stage
// flagged diagonal gives what the whole matrix gives.
TEST(SimdKernels, ToneRunMixesRowsAndTakesDiagonalsAsTheMatrixOnEveryTarget) {
    kernels::ToneParams st[2] = {};
    const float m[15] = {1.6f, 0.0f, 0.0f, 0.0f, -0.3f, 0.0f, 1.4f, 0.0f, 0.0f, -0.1f, 0.0f, 0.0f, 0.8f, 0.0f, 0.05f};
    for (kernels::ToneParams& p : st) {
        p.isMatrix = true;
        std::copy(m, m + 15, p.m);
    }
    st[1].m[1] = 0.25f;  // not diagonal
    const int n = 45;
    std::vector<float> lo(size_t(n) * 4), hi(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const float a = i % 5 == 0 ? 0.0f : i % 3 == 0 ? 1.0f : 0.3f + 0.01f * i, b = i % 4 == 0 ? 1.0f : 0.5f;
        for (int c = 0; c < 3; ++c) lo[size_t(4 * i + c)] = a * float((i * 7 + c * 5) % 23) / 23, hi[size_t(4 * i + c)] = b * float((i + c) % 11) / 11;
        lo[size_t(4 * i + 3)] = a, hi[size_t(4 * i + 3)] = b;
    }
    const float gain[3] = {0.9f, 1.1f, 0.7f};
    test::forEachSimdTarget([&] {
        for (const int len : {1, 13, n - 1, n})
            for (const int stage : {0, 1}) {
                kernels::ToneParams flagged = st[stage];
                flagged.diagonal = stage == 0;
                std::vector<float> mixed(size_t(len) * 4), out(size_t(len) * 4), plain(size_t(len) * 4);
                kernels::mixRows(lo.data(), hi.data(), size_t(len) * 4, 0.375f, mixed.data());
                std::vector<float> ref = mixed;
                kernels::toneRun(ref.data(), len, &st[stage], 1, false, gain);
                plain = mixed;
                kernels::toneRun(plain.data(), len, &flagged, 1, false, gain);
                kernels::toneRunMixed(lo.data(), hi.data(), 0.0f, 0.375f, len, &flagged, 1, gain, out.data());
                for (size_t i = 0; i < out.size(); ++i) {
                    ASSERT_EQ(plain[i], ref[i]) << len << " stage " << stage << " float " << i;
                    ASSERT_EQ(out[i], ref[i]) << len << " stage " << stage << " float " << i;
                }
                // Moved across as well: the rows mixed down over one pixel more, then each pixel
                // with the next, as a move does it.
                if (len == n) continue;
                std::vector<float> down(size_t(len + 1) * 4), across(size_t(len) * 4), both(size_t(len) * 4);
                kernels::mixRows(lo.data(), hi.data(), down.size(), 0.375f, down.data());
                kernels::mixRows(down.data(), down.data() + 4, across.size(), 0.625f, across.data());
                kernels::toneRun(across.data(), len, &flagged, 1, false, gain);
                kernels::toneRunMixed(lo.data(), hi.data(), 0.625f, 0.375f, len, &flagged, 1, gain, both.data());
                for (size_t i = 0; i < both.size(); ++i) ASSERT_EQ(both[i], across[i]) << len << " across, stage " << stage << " float " << i;
            }
    });
}

// A displacement row against the bilinear read in doubles (rows mixed, then columns; taps off the
// source transparent): displacements pointing off every edge, outside 0…1 (clamped) and not a
// number, rows through the padded tail.
TEST(SimdKernels, DisplacementRowsReadTheMovedPointOnEveryTarget) {
    const int sw = 23, sh = 9, sx = -4, sy = 10;
    std::vector<float> src(size_t(sw) * sh * 4);
    for (size_t i = 0; i < src.size(); ++i) src[i] = float((i * 37) % 101) / 101.0f;
    const kernels::WarpSource ws{src.data(), sx, sy, sw, sh};
    auto tap = [&](int x, int y, int c) -> double {
        if (x < sx || y < sy || x >= sx + sw || y >= sy + sh) return 0.0;
        return src[(size_t(y - sy) * sw + (x - sx)) * 4 + c];
    };
    const int n = 21;
    std::vector<float> disp(size_t(n) * 4);
    uint32_t r = 5;
    for (float& v : disp) {
        r = r * 1664525u + 1013904223u;
        v = float(r >> 8) / 16777216.0f * 1.4f - 0.2f;
    }
    disp[4 * 3] = NAN;
    const float scale = 11.0f;
    test::forEachSimdTarget([&] {
        for (const int y : {sy - 3, sy + 4, sy + sh + 2})
            for (const int len : {1, 9, n}) {
                std::vector<float> o(size_t(len + 1) * 4, -7.0f);
                kernels::displaceRow(ws, disp.data(), scale, sx - 2, y, len, o.data());
                for (int i = 0; i < len; ++i) {
                    const float* d = &disp[size_t(4 * i)];
                    if (std::isnan(d[0])) continue;  // anything but a crash
                    const double dx = double(scale * (std::clamp(d[0], 0.0f, 1.0f) - 0.5f)), dy = double(scale * (std::clamp(d[1], 0.0f, 1.0f) - 0.5f));
                    const double fx = sx - 2 + i + dx, fy = y + dy;
                    const int X = int(std::floor(fx)), Y = int(std::floor(fy));
                    const double wx = fx - X, wy = fy - Y;
                    for (int c = 0; c < 4; ++c) {
                        const double bot = tap(X, Y, c) + (tap(X + 1, Y, c) - tap(X, Y, c)) * wx;
                        const double top = tap(X, Y + 1, c) + (tap(X + 1, Y + 1, c) - tap(X, Y + 1, c)) * wx;
                        ASSERT_NEAR(o[size_t(4 * i + c)], bot + (top - bot) * wy, 2e-6) << "y " << y << " pixel " << i << " channel " << c;
                    }
                }
                for (int c = 0; c < 4; ++c) ASSERT_EQ(o[size_t(len) * 4 + c], -7.0f);  // nothing past the row
            }
    });
}

// A mask blend whose mask is white (every channel its alpha) weighs by the alpha; other masks by
// their encoded luminance times alpha, in the same row.
TEST(SimdKernels, MaskBlendWeighsWhiteMasksByTheirAlphaOnEveryTarget) {
    const int n = 37;
    std::vector<float> f(size_t(n) * 4), bg(size_t(n) * 4), mask(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const float a = float(i) / (n - 1);
        for (int c = 0; c < 4; ++c) {
            f[size_t(4 * i + c)] = 0.9f - 0.02f * c;
            bg[size_t(4 * i + c)] = 0.1f + 0.01f * i;
            // White fading out, except a grey stretch in the middle.
            mask[size_t(4 * i + c)] = i >= 16 && i < 24 && c < 3 ? 0.2f * a : a;
        }
    }
    test::forEachSimdTarget([&] {
        std::vector<float> o = bg;
        kernels::maskBlendRow(f.data(), mask.data(), n, o.data());
        for (int i = 0; i < n; ++i) {
            const double a = mask[size_t(4 * i + 3)], grey = mask[size_t(4 * i)];
            const double w = a > 0 ? color::linearToSRGB(grey / a) * a : 0.0;
            for (int c = 0; c < 4; ++c) {
                const double e = bg[size_t(4 * i + c)] + w * (f[size_t(4 * i + c)] - bg[size_t(4 * i + c)]);
                ASSERT_NEAR(o[size_t(4 * i + c)], e, 1e-4) << "pixel " << i << " channel " << c;
            }
        }
    });
}

// A false colour from transparent black ending a run: taken as its colour 1 at the run's alpha,
// the same pixels (to a rounding) as mixing and decoding each.
TEST(SimdKernels, FalseColourFromTransparentIsItsColourAtTheAlphaOnEveryTarget) {
    kernels::ToneParams st[2] = {};
    st[0].isMatrix = true;
    const float m[15] = {1.7f, 0, 0, 0, -0.3f, 0, 1.7f, 0, 0, -0.3f, 0, 0, 1.7f, 0, -0.3f};
    std::copy(m, m + 15, st[0].m);
    const float c1[4] = {0.9f * 0.8f, 0.3f * 0.8f, 0.05f * 0.8f, 0.8f};  // premultiplied encoded, alpha 0.8
    st[1].isMatrix = false;
    for (int c = 0; c < 4; ++c) st[1].c0[c] = 0.0f, st[1].d[c] = c1[c];
    kernels::ToneParams flat[2] = {st[0], st[1]};
    flat[1].flat = true;
    for (int c = 0; c < 3; ++c) flat[1].flatColour[c] = kernels::decodeSrgbTone(c1[c] / c1[3]);
    const int n = 29;
    std::vector<float> px(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const float a = i % 4 == 0 ? 1.0f : i % 7 == 0 ? 0.0f : 0.25f + 0.02f * i;
        for (int c = 0; c < 3; ++c) px[size_t(4 * i + c)] = a * float((i * 5 + c * 3) % 17) / 16.0f;
        px[size_t(4 * i + 3)] = a;
    }
    const float gain[3] = {1.1f, 0.96f, 0.75f};
    test::forEachSimdTarget([&] {
        for (const float* g : {static_cast<const float*>(nullptr), gain}) {
            std::vector<float> a = px, b = px;
            kernels::toneRun(a.data(), n, st, 2, false, g);
            kernels::toneRun(b.data(), n, flat, 2, false, g);
            int lit = 0;
            for (size_t i = 0; i < a.size(); ++i) {
                ASSERT_NEAR(b[i], a[i], 2e-6) << "float " << i;
                lit += i % 4 == 3 && a[i] > 0.1f;
            }
            EXPECT_GT(lit, n / 3);
        }
    });
}

TEST(SimdKernels, LuminanceTableRowsOnEveryTarget) {
    const int size = 1024, n = 45;
    std::vector<float> table(size_t(size + 1) * 4);
    uint32_t s = 99;
    for (float& v : table) {
        s = s * 1664525u + 1013904223u;
        v = float(s >> 8) / 16777216.0f;
    }
    std::vector<uint8_t> row(size_t(n) * 4);
    for (int i = 0; i < n; ++i)
        row[4 * i] = uint8_t(i * 37), row[4 * i + 1] = uint8_t(255 - i * 5), row[4 * i + 2] = uint8_t(i * i), row[4 * i + 3] = 255;
    row[0] = row[1] = row[2] = 255;  // white: the last step
    auto mix = [&](int k, float f, int c) { return table[size_t(4 * k + c)] + (table[size_t(4 * k + 4 + c)] - table[size_t(4 * k + c)]) * f; };
    test::forEachSimdTarget([&] {
        std::vector<float> o(size_t(n) * 4, -1.0f);
        std::vector<int> others(size_t(n), -1);
        EXPECT_EQ(0, kernels::lumaTableRow(row.data(), n, false, table.data(), size, o.data(), others.data()));
        const float sc = float(size - 1) / 255.0f;
        for (int i = 0; i < n; ++i) {
            const float L = filters::kLumR * row[4 * i + 2] * sc + filters::kLumG * row[4 * i + 1] * sc + filters::kLumB * row[4 * i] * sc;
            const int k = std::min(int(L), size - 1);
            // Within a rounding of the luminance (a few 1e-5 of a step at the top of the table).
            for (int c = 0; c < 4; ++c) ASSERT_NEAR(o[4 * i + c], mix(k, L - float(k), c), 2e-4) << i << "," << c;
        }
        // A pixel reads the same wherever the row starts and ends (blocks and tails).
        std::vector<float> piece(size_t(n) * 4, -1.0f);
        for (const int from : {1, 3, 7, 17}) {
            const int m = n - from - 2;
            kernels::lumaTableRow(row.data() + 4 * from, m, false, table.data(), size, piece.data(), others.data());
            for (int i = 0; i < 4 * m; ++i) ASSERT_EQ(piece[size_t(i)], o[size_t(4 * from + i)]) << from << ":" << i;
        }
        // Pixels that are not opaque are listed, the others still read; a format without alpha
        // lists none.
        std::vector<uint8_t> part = row;
        part[4 * 3 + 3] = 200;
        part[4 * 44 + 3] = 0;
        std::vector<float> p(size_t(n) * 4);
        ASSERT_EQ(2, kernels::lumaTableRow(part.data(), n, false, table.data(), size, p.data(), others.data()));
        EXPECT_EQ(3, others[0]);
        EXPECT_EQ(44, others[1]);
        for (int i = 0; i < 4 * n; ++i) {
            if (i / 4 == 3 || i / 4 == 44) continue;
            ASSERT_EQ(p[size_t(i)], o[size_t(i)]) << i;
        }
        EXPECT_EQ(0, kernels::lumaTableRow(part.data(), n, true, table.data(), size, p.data(), others.data()));
    });
}

// A threshold (a channel gain with a bias below zero) gives no colour below where its curve
// leaves zero: blocks of pixels all in that foot skip the curves, and must give the curves' bits,
// up to the foot's very top, for opaque, translucent and empty pixels, straight or mixed.
TEST(SimdKernels, AThresholdsFootGivesTheCurvesBitsOnEveryTarget) {
    struct Threshold {
        float gain, bias;
    };
    for (const Threshold th : {Threshold{4.0f, -3.28f}, Threshold{5000.0f, -4999.0f}, Threshold{1.7f, -0.3f}}) {
        test::forEachSimdTarget([&] {
            kernels::ToneParams st{};
            st.isMatrix = st.diagonal = true;
            st.m[0] = st.m[6] = st.m[12] = th.gain;
            st.m[4] = st.m[9] = st.m[14] = th.bias;
            kernels::findFoot(st);
            ASSERT_TRUE(st.foot) << th.gain;
            // Just below where the encoded line crosses zero.
            const float crossing = kernels::decodeSrgbTone(-th.bias / th.gain);
            for (float u : st.footBelow) {
                EXPECT_LE(u, crossing);
                EXPECT_GT(u, crossing * 0.99f);
            }
            kernels::ToneParams curves = st;
            curves.foot = false;
            // Blocks of 16 pixels: all at the foot's top or just under it, some just over, some
            // mixed with pixels far above; alphas opaque, translucent, zero.
            const float top = st.footBelow[0];
            const int n = 16 * 12;
            std::vector<float> px(size_t(n) * 4), hi(size_t(n) * 4);
            for (int i = 0; i < n; ++i) {
                const int block = i / 16;
                const float a = block % 3 == 0 ? 1.0f : block % 3 == 1 ? 0.35f + 0.01f * (i % 16) : (i % 5 == 0 ? 0.0f : 0.8f);
                float u = top * (1.0f - 1e-6f * float(i % 16));
                if (block >= 6 && block < 9) u = std::nextafter(top, 2.0f) * (1.0f + 1e-6f * float(i % 16));
                if (block >= 9 && i % 4 == 0) u = 0.5f + top * 0.5f;
                for (int c = 0; c < 3; ++c) px[size_t(4 * i + c)] = (c == 1 ? u * 0.999f : u) * a;
                px[size_t(4 * i + 3)] = a;
                for (int c = 0; c < 4; ++c) hi[size_t(4 * i + c)] = px[size_t(4 * i + c)] * (block % 2 ? 0.99f : 1.0f);
            }
            std::vector<float> a = px, b = px;
            kernels::toneRun(a.data(), n, &st, 1, false);
            kernels::toneRun(b.data(), n, &curves, 1, false);
            for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << th.gain << " value " << i;
            std::vector<float> ma(px.size()), mb(px.size());
            kernels::toneRunMixed(px.data(), hi.data(), 0.0f, 0.37f, n, &st, 1, nullptr, ma.data());
            kernels::toneRunMixed(px.data(), hi.data(), 0.0f, 0.37f, n, &curves, 1, nullptr, mb.data());
            for (size_t i = 0; i < ma.size(); ++i) ASSERT_EQ(ma[i], mb[i]) << th.gain << " mixed value " << i;
        });
    }
    // No foot where a bias lifts a channel, or channels mix.
    kernels::ToneParams lifted{};
    lifted.isMatrix = lifted.diagonal = true;
    lifted.m[0] = lifted.m[6] = lifted.m[12] = 2.0f;
    lifted.m[4] = lifted.m[14] = -0.5f;
    lifted.m[9] = 0.1f;
    kernels::findFoot(lifted);
    EXPECT_FALSE(lifted.foot);
    kernels::ToneParams mixing = lifted;
    mixing.m[9] = -0.5f;
    mixing.diagonal = false;
    kernels::findFoot(mixing);
    EXPECT_FALSE(mixing.foot);
}
