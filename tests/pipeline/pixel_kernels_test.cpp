// The engine's sampling and compositing kernels on every vector target compiled in and supported
// here, each against a plain scalar statement of what it computes. Rows of odd lengths cover the
// padded tails.
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Image.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>
#include <hwy/cache_control.h>

#include <QImage>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

using namespace ostrela;
using namespace ostrela::engine;

namespace {

// Premultiplied pixels: opaque, translucent and transparent ones, a few channels above alpha.
std::vector<float> somePixels(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> p(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const int kind = i % 5;
        const float a = kind == 0 ? 0.0f : kind == 1 ? 0.3f + 0.5f * u(rng) : 1.0f;
        for (int c = 0; c < 3; ++c) p[4 * i + c] = u(rng) * a;
        p[4 * i + 3] = a;
        if (i % 11 == 7) p[4 * i + 1] = std::min(1.0f, a + 0.2f);  // above alpha (noise-like)
    }
    return p;
}

float srgbEncode(float x) { return float(color::linearToSRGB(std::clamp(double(x), 0.0, 1.0))); }
float srgbDecode(float x) { return float(color::srgbToLinear(std::clamp(double(x), 0.0, 1.0))); }

// One bilinear sample, neighbours at floor and floor + 1, all inside.
void bilinear(const std::vector<float>& src, int w, double x, double y, float* o) {
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    const double wx = x - x0, wy = y - y0;
    for (int c = 0; c < 4; ++c) {
        const auto at = [&](int xx, int yy) { return double(src[(size_t(yy) * w + xx) * 4 + c]); };
        o[c] = float((at(x0, y0) * (1 - wx) + at(x0 + 1, y0) * wx) * (1 - wy) + (at(x0, y0 + 1) * (1 - wx) + at(x0 + 1, y0 + 1) * wx) * wy);
    }
}

// A float to half precision, rounded to nearest even (normal values and zero).
uint16_t toHalf(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    const uint32_t sign = (bits >> 16) & 0x8000, e = (bits >> 23) & 0xFF, m = bits & 0x7FFFFF;
    if (e == 0) return uint16_t(sign);
    uint32_t h = sign | ((e - 112) << 10) | (m >> 13);
    const uint32_t rest = m & 0x1FFF;
    if (rest > 0x1000 || (rest == 0x1000 && (h & 1))) ++h;
    return uint16_t(h);
}

// A half-precision value as a float (normal and zero values; the copies hold no others).
float fromHalf(uint16_t h) {
    const int e = (h >> 10) & 31, m = h & 1023;
    const float v = e == 0 ? std::ldexp(float(m), -24) : std::ldexp(float(m + 1024), e - 25);
    return h & 0x8000 ? -v : v;
}

// w × h pixels as a stored picture (read where they lie), transparent outside; `grey`: its
// pixels' channels are equal.
class Stored final : public Node {
public:
    Stored(const std::vector<float>& p, int w, int h, bool grey = false) : p_(p), w_(w), h_(h), grey_(grey) {}
    Rect extent() const override { return {0, 0, double(w_), double(h_)}; }
    bool grey() const override { return grey_; }
    const float* storedPixels(IRect* b) const override {
        *b = {0, 0, w_, h_};
        return p_.data();
    }
    void render(TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i)
                for (int c = 0; c < 4; ++c) {
                    const int x = r.x + i, y = r.y + j;
                    out[(size_t(j) * r.w + i) * 4 + c] = x < 0 || y < 0 || x >= w_ || y >= h_ ? 0.0f : p_[(size_t(y) * w_ + x) * 4 + c];
                }
    }

private:
    const std::vector<float>& p_;
    int w_, h_;
    bool grey_;
};

}  // namespace

TEST(PixelKernels, ResampledRowsAreBilinearSamplesOnEveryTarget) {
    const int bw = 23, bh = 17, bx = -4, by = 6;
    const std::vector<float> src = somePixels(bw * bh, 3);
    test::forEachSimdTarget([&] {
        // A rotated walk that enters, crosses and leaves the buffer.
        for (const int n : {1, 5, 16, 41}) {
            const double sx = bx - 2.3137, sy = by + 1.7291, ax = 0.6173, ay = 0.2719;
            std::vector<float> o(size_t(n) * 4, -7.0f);
            std::vector<int> edges(size_t(n), -1);
            const int ne = kernels::resampleRow(src.data(), bx, by, bw, bh, sx, sy, ax, ay, 0, 0, n, o.data(), edges.data());
            std::set<int> outside;
            for (int i = 0; i < n; ++i) {
                const double x = sx + i * ax - bx, y = sy + i * ay - by;
                if (!(x >= 0 && y >= 0 && std::floor(x) + 1 < bw && std::floor(y) + 1 < bh)) {
                    outside.insert(i);
                    continue;
                }
                float want[4];
                bilinear(src, bw, x, y, want);
                for (int c = 0; c < 4; ++c) ASSERT_NEAR(o[4 * i + c], want[c], 2e-6) << "n " << n << " i " << i << " c " << c;
            }
            ASSERT_EQ(ne, int(outside.size())) << n;
            EXPECT_EQ(std::set<int>(edges.begin(), edges.begin() + ne), outside) << n;
            if (n == 41) {
                EXPECT_GT(ne, 0);
                EXPECT_LT(ne, n);
            }
        }
    });
}

TEST(PixelKernels, ColumnRowsAreBilinearSamplesOnEveryTarget) {
    const int w = 29, h = 2;
    const std::vector<float> src = somePixels(w * h, 5);
    test::forEachSimdTarget([&] {
        const int n = 35;
        std::vector<int> cx(static_cast<size_t>(n)), edges(static_cast<size_t>(n));
        std::vector<float> cw(static_cast<size_t>(n)), o(static_cast<size_t>(n) * 4, -7.0f);
        for (int i = 0; i < n; ++i) {
            const double f = 0.83 * i - 1.6;
            cx[size_t(i)] = int(std::floor(f));
            cw[size_t(i)] = float(f - std::floor(f));
        }
        const float wy = 0.375f;
        const int ne = kernels::bilinearColumnsRow(src.data(), src.data() + size_t(w) * 4, w, cx.data(), cw.data(), wy, n, o.data(), edges.data());
        int seen = 0;
        for (int i = 0; i < n; ++i) {
            if (cx[size_t(i)] < 0 || cx[size_t(i)] + 1 >= w) {
                ASSERT_LT(seen, ne);
                EXPECT_EQ(edges[size_t(seen++)], i);
                continue;
            }
            float want[4];
            bilinear(src, w, cx[size_t(i)] + double(cw[size_t(i)]), wy, want);
            for (int c = 0; c < 4; ++c) ASSERT_NEAR(o[4 * i + c], want[c], 2e-6) << i << "," << c;
        }
        EXPECT_EQ(seen, ne);
        EXPECT_GT(ne, 0);
    });
}

// Magnified rows: the two source rows mixed first, then taken across. The kernels against the
// sample in doubles, and a magnified picture rendered in tiles against it pixel by pixel, its
// edges (transparent outside the source) included.
TEST(PixelKernels, MagnifiedRowsAreBilinearSamplesOnEveryTarget) {
    const int w = 37, h = 23;
    const std::vector<float> src = somePixels(w * h, 8);
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float* p = &src[(size_t(h - 1 - y) * w + x) * 4];  // the picture's bottom row is row 0
            img.setPixel(x, y, qRgba(int(p[0] * 255 + 0.5f), int(p[1] * 255 + 0.5f), int(p[2] * 255 + 0.5f), int(p[3] * 255 + 0.5f)));
        }
    const Image stored = materialize(Image::fromQImage(img));
    const PixelView v = pixelsOf(stored);
    ASSERT_TRUE(v);
    ASSERT_EQ(v.bounds, (IRect{0, 0, w, h}));
    const std::vector<float> px(v.data, v.data + size_t(w) * h * 4);
    test::forEachSimdTarget([&] {
        // The kernels: a mix of 4·13 + 3 floats (a tail on every target), guards untouched.
        std::vector<float> mix(60, -5.0f);
        kernels::mixRows(px.data() + 4 * 3, px.data() + (size_t(w) + 3) * 4, 55, 0.3125f, mix.data());
        for (int i = 0; i < 55; ++i) ASSERT_NEAR(mix[size_t(i)], px[size_t(4 * 3 + i)] + (px[size_t((w + 3) * 4 + i)] - px[size_t(4 * 3 + i)]) * 0.3125, 1e-6) << i;
        EXPECT_EQ(mix[55], -5.0f);
        const int n = 19;
        std::vector<int> cx(n);
        std::vector<float> cw(n), o(size_t(n) * 4);
        for (int i = 0; i < n; ++i) {
            const double f = 3.2 + 0.61 * i;
            cx[size_t(i)] = int(std::floor(f));
            cw[size_t(i)] = float(f - std::floor(f));
        }
        ASSERT_LE(cx[n - 1] + 1, 3 + 13);
        kernels::tapsRow(mix.data(), cx.data(), cw.data(), 3, n, o.data());
        for (int i = 0; i < n; ++i) {
            float want[4];
            bilinear(px, w, cx[size_t(i)] + double(cw[size_t(i)]), 0.3125, want);
            for (int c = 0; c < 4; ++c) ASSERT_NEAR(o[size_t(4 * i + c)], want[c], 2e-6) << i << "," << c;
        }

        // Through the engine: scaled about a point and moved by a fraction, and doubled exactly on
        // whole pixels (the 2× expansion with its repeating weights), rendered from odd columns.
        struct Move {
            double sc, mx, my, dx;
        };
        for (const Move m : {Move{1.45, 18.3, 11.7, 0.25}, Move{2.0, 0.0, 0.0, 3.0}}) {
            const Image big = stored.transformed(Affine::translation(-m.mx, -m.my).then(Affine::scale(m.sc, m.sc)).then(Affine::translation(m.mx + m.dx, m.my)));
            const IRect rect{-11, -9, 83, 53};
            const std::vector<float> got = Renderer(2, 5).renderFloat(big, rect);
            ASSERT_EQ(got.size(), size_t(rect.w) * rect.h * 4);
            double worst = 0;
            for (int j = 0; j < rect.h; ++j)
                for (int i = 0; i < rect.w; ++i) {
                    const double fx = (rect.x + i + 0.5 - m.mx - m.dx) / m.sc + m.mx - 0.5, fy = (rect.y + j + 0.5 - m.my) / m.sc + m.my - 0.5;
                    const int x0 = int(std::floor(fx)), y0 = int(std::floor(fy));
                    const double wx = fx - x0, wy = fy - y0;
                    for (int c = 0; c < 4; ++c) {
                        const auto at = [&](int xx, int yy) {
                            return xx < 0 || yy < 0 || xx >= w || yy >= h ? 0.0 : double(px[(size_t(yy) * w + xx) * 4 + c]);
                        };
                        const double want = (at(x0, y0) * (1 - wx) + at(x0 + 1, y0) * wx) * (1 - wy) + (at(x0, y0 + 1) * (1 - wx) + at(x0 + 1, y0 + 1) * wx) * wy;
                        worst = std::max(worst, std::abs(got[(size_t(j) * rect.w + i) * 4 + c] - want));
                    }
                }
            EXPECT_LT(worst, 2e-6) << m.sc;
        }
    });
}

TEST(PixelKernels, HalvesAreRoundedToNearestOnEveryTarget) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-3.0f, 3.0f);
    std::vector<float> v(203);
    for (float& x : v) x = u(rng);
    v[0] = 0.0f, v[1] = 1.0f, v[2] = 1.0f + 1.0f / 2048;  // a tie: to even (1)
    v[3] = 1.0f + 3.0f / 2048;                             // a tie: to even (1 + 2/1024)
    v[4] = 6.1e-5f * 1.5f, v[5] = 0.5f + 1.0f / 4096;
    test::forEachSimdTarget([&] {
        std::vector<uint16_t> h(v.size(), 0xBEEF);
        kernels::toHalves(v.data(), v.size(), h.data());
        for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(h[i], toHalf(v[i])) << i << ": " << v[i];
    });
}

// Halves back to floats: exact for every normal value, zero and one, whatever the row's length.
TEST(PixelKernels, HalvesComeBackExactlyOnEveryTarget) {
    std::vector<uint16_t> h;
    for (uint32_t bits = 0; bits < 0x7C00; bits += 37) h.push_back(uint16_t(bits & 0x3FF ? bits : bits | 1));
    h.push_back(0x3C00), h.push_back(0x0000), h.push_back(0xBC00), h.push_back(0x3555);
    for (size_t i = 0; i < 40; ++i) h.push_back(uint16_t(0x8000 | (0x0400 + 97 * i)));  // negatives
    test::forEachSimdTarget([&] {
        for (const size_t n : {h.size(), size_t(1), size_t(7), size_t(17)}) {
            std::vector<float> f(n + 1, -99.0f);
            kernels::fromHalves(h.data(), n, f.data());
            for (size_t i = 0; i < n; ++i) {
                if ((h[i] & 0x7C00) == 0 && (h[i] & 0x3FF) != 0) continue;  // subnormals: not held by pictures
                ASSERT_EQ(f[i], fromHalf(h[i])) << i << ": 0x" << std::hex << h[i];
            }
            EXPECT_EQ(f[n], -99.0f) << "wrote past the row";
        }
    });
}

TEST(PixelKernels, CompositesAreTheirFormulasOnEveryTarget) {
    const int n = 37;
    const std::vector<float> f = somePixels(n, 11), bg = somePixels(n, 12), mask = somePixels(n, 13);
    test::forEachSimdTarget([&] {
        std::vector<float> o = bg;
        kernels::overRow(f.data(), n, o.data());
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 4; ++c)
                ASSERT_NEAR(o[4 * i + c], f[4 * i + c] + bg[4 * i + c] * (1 - f[4 * i + 3]), 1e-6) << "over " << i << "," << c;
        const float k = 0.7f;
        o = bg;
        kernels::screenRow(f.data(), k, n, o.data());
        for (int i = 0; i < 4 * n; ++i) {
            const float a = f[size_t(i)] * k, b = bg[size_t(i)];
            ASSERT_NEAR(o[size_t(i)], a + b - a * b, 1e-6) << "screen " << i;
        }
        // Over a background read from elsewhere: the same values, the background untouched.
        std::vector<float> from(o.size(), -3.0f);
        kernels::screenRowFrom(f.data(), k, bg.data(), n, from.data());
        EXPECT_EQ(0, std::memcmp(from.data(), o.data(), o.size() * sizeof(float)));
        o = bg;
        kernels::multiplyRow(f.data(), k, n, o.data());
        for (int i = 0; i < n; ++i) {
            const float fa = f[4 * i + 3] * k, ba = bg[4 * i + 3];
            for (int c = 0; c < 4; ++c) {
                const float a = f[4 * i + c] * k, b = bg[4 * i + c];
                ASSERT_NEAR(o[4 * i + c], a * b + a * (1 - ba) + b * (1 - fa), 1e-6) << "multiply " << i << "," << c;
            }
        }
        o = bg;
        kernels::maskBlendRow(f.data(), mask.data(), n, o.data());
        for (int i = 0; i < n; ++i) {
            const float ma = std::clamp(mask[4 * i + 3], 0.0f, 1.0f);
            float w = 0;
            if (ma > 0) {
                const float y = (filters::kLumR * mask[4 * i] + filters::kLumG * mask[4 * i + 1] + filters::kLumB * mask[4 * i + 2]) / ma;
                w = srgbEncode(y) * ma;
            }
            for (int c = 0; c < 4; ++c)
                ASSERT_NEAR(o[4 * i + c], bg[4 * i + c] + w * (f[4 * i + c] - bg[4 * i + c]), 1e-4) << "mask " << i << "," << c;
        }
    });
}

TEST(PixelKernels, ColourMatrixIsAppliedToUnpremultipliedColourOnEveryTarget) {
    const int n = 29;
    std::vector<float> in = somePixels(n, 17);
    in[4 * 3 + 3] = 1.5f;  // alpha above 1 taken as it stands
    const float m[20] = {0.5f, 0.2f, 0.1f, 0.0f, 0.05f, 0.1f, 0.9f, 0.0f, 0.0f, -0.02f,
                         0.3f, 0.3f, 0.3f, 0.0f, 0.0f,  0.0f, 0.0f, 0.0f, 0.8f, 0.1f};
    test::forEachSimdTarget([&] {
        std::vector<float> p = in;
        kernels::matrixRow(m, p.data(), n);
        for (int i = 0; i < n; ++i) {
            const float* v = in.data() + 4 * i;
            float un[4] = {v[0], v[1], v[2], v[3]};
            if (v[3] < 1.0f) {
                const float inv = v[3] > 0 ? 1.0f / v[3] : 0.0f;
                for (int c = 0; c < 3; ++c) un[c] = v[c] * inv;
                un[3] = std::max(v[3], 0.0f);
            }
            float r[4];
            for (int row = 0; row < 4; ++row)
                r[row] = m[5 * row] * un[0] + m[5 * row + 1] * un[1] + m[5 * row + 2] * un[2] + m[5 * row + 3] * un[3] + m[5 * row + 4];
            const float na = std::clamp(r[3], 0.0f, 1.0f);
            for (int c = 0; c < 3; ++c) ASSERT_NEAR(p[4 * i + c], r[c] * na, 1e-5) << i << "," << c;
            ASSERT_NEAR(p[4 * i + 3], na, 1e-6) << i;
        }
    });
}

// A fade (a matrix that only scales alpha) skips the division and still gives the matrix's
// pixels, through the matrix op as through the kernel.
TEST(PixelKernels, FadesAreTheMatrixWithoutItsDivisionOnEveryTarget) {
    const int n = 37;
    std::vector<float> in = somePixels(n, 31);
    in[4 * 3 + 3] = 1.5f;  // alpha above 1
    in[4 * 5 + 3] = -0.1f;  // below 0
    for (const float k : {0.0f, 0.16f, 0.55f, 1.0f}) {
        ColorMatrix m = identityMatrix();
        m[18] = k;
        test::forEachSimdTarget([&] {
            std::vector<float> viaMatrix = in, viaKernel = in, viaOp = in;
            kernels::matrixRow(m.data(), viaMatrix.data(), n);
            kernels::alphaScaleRow(k, in.data(), viaKernel.data(), n);
            MatrixOp(m).apply(viaOp.data(), n);
            for (size_t i = 0; i < in.size(); ++i) {
                ASSERT_NEAR(viaKernel[i], viaMatrix[i], 2e-7f + 1e-6f * std::abs(viaMatrix[i])) << "k " << k << " value " << i;
                ASSERT_EQ(viaOp[i], viaKernel[i]) << i;
            }
            if (k == 0.55f) {
                EXPECT_NEAR(viaKernel[4 * 2 + 3], in[4 * 2 + 3] * 0.55f, 1e-7f);
            }
        });
    }
    // Anything else stays a matrix.
    ColorMatrix tinted = identityMatrix();
    tinted[18] = 0.5f;
    tinted[0] = 0.9f;
    std::vector<float> viaMatrix = in, viaOp = in;
    kernels::matrixRow(tinted.data(), viaMatrix.data(), n);
    MatrixOp(tinted).apply(viaOp.data(), n);
    EXPECT_EQ(viaOp, viaMatrix);
}

// A matrix that only scales the colour channels skips the division and gives the matrix's pixels
// (opaque ones and those above 1 to the bit), through the matrix op as through the kernel;
// nothing is left where alpha is 0 or less.
TEST(PixelKernels, GainsAreTheMatrixWithoutItsDivisionOnEveryTarget) {
    const int n = 37;
    std::vector<float> in = somePixels(n, 33);
    in[4 * 3 + 3] = 1.5f;   // alpha above 1
    in[4 * 5 + 3] = -0.1f;  // below 0
    in[4 * 7 + 3] = 0.0f, in[4 * 7] = 0.3f;  // colour at alpha 0
    for (int i = 10; i < 20; ++i) in[4 * i + 3] = 1.0f;
    for (const std::array<float, 3> k : {std::array<float, 3>{1, 0, 0}, {0, 0, 1}, {0.3f, 0.9f, 0.5f}, {1.2f, 1, 0}}) {
        ColorMatrix m = identityMatrix();
        m[0] = k[0], m[6] = k[1], m[12] = k[2];
        ASSERT_TRUE(MatrixOp(m).gain());
        test::forEachSimdTarget([&] {
            std::vector<float> viaMatrix = in, viaKernel = in, viaOp = in;
            kernels::matrixRow(m.data(), viaMatrix.data(), n);
            kernels::gainRow(k.data(), in.data(), viaKernel.data(), n);
            MatrixOp(m).apply(viaOp.data(), n);
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < 4; ++c) {
                    const size_t j = size_t(4 * i + c);
                    if (in[size_t(4 * i + 3)] >= 1.0f)
                        ASSERT_EQ(viaKernel[j], viaMatrix[j]) << i << "," << c;
                    else
                        ASSERT_NEAR(viaKernel[j], viaMatrix[j], 1e-6f * std::abs(viaMatrix[j]) + 1e-30f) << i << "," << c;
                    ASSERT_EQ(viaOp[j], viaKernel[j]) << j;
                }
            for (const int i : {5, 7})
                for (int c = 0; c < 4; ++c) EXPECT_EQ(viaKernel[size_t(4 * i + c)], 0.0f);
        });
    }
    // A matrix that also mixes channels, or moves alpha, is no gain.
    ColorMatrix mixing = identityMatrix();
    mixing[1] = 0.2f;
    EXPECT_FALSE(MatrixOp(mixing).gain());
    ColorMatrix fading = identityMatrix();
    fading[0] = 0.5f, fading[18] = 0.5f;
    EXPECT_FALSE(MatrixOp(fading).gain());
}

// A chain in one pass is its layers done one by one with the single kernels, to the bit: moved
// layers mixed down then across as mixRows mixes, layers kept in halves widened as fromHalves
// widens them, fades as alphaScaleRow fades and gains as gainRow scales (alpha of 0 with
// colour, above 1 and below 0 included; whole registers of ordinary alphas take a shorter road
// to the same bits), then over or screen; three layers and eleven. Over the output in place or a background read
// elsewhere, written through the cache or past it, for rows that end anywhere in a register.
TEST(PixelKernels, ChainsAreTheirLayersOneByOneOnEveryTarget) {
    const int kMax = 300;
    std::vector<std::vector<float>> src;
    for (unsigned seed = 0; seed < 6; ++seed) {
        std::vector<float> p = somePixels(kMax + 12, 40 + seed);  // layers start up to 9 pixels in, moved ones read one more
        if (seed == 1) {
            p[4 * 3 + 3] = 1.5f;  // alpha above 1
            p[4 * 8 + 3] = -0.1f;  // below 0
            p[4 * 10 + 0] = 0.4f;  // colour at alpha 0 (kind 0)
        }
        if (seed == 4)  // opaque throughout: every register takes the shorter road
            for (int i = 0; i < kMax + 12; ++i) p[4 * i + 3] = 1.0f;
        src.push_back(std::move(p));
    }
    const std::vector<float> bg = somePixels(kMax, 60);
    // The same pictures at half precision, for layers read as halves.
    std::vector<std::vector<uint16_t>> halfSrc;
    for (const auto& p : src) {
        halfSrc.emplace_back(p.size());
        kernels::toHalves(p.data(), p.size(), halfSrc.back().data());
    }
    struct Spec {
        int rowOf, aboveOf;  // source pictures (aboveOf < 0: not moved)
        float wx, wy, fade, scale;
        const float* gain = nullptr;
        bool halves = false;  // read from the picture's halves
    };
    const float red[3] = {1.0f, 0.0f, 0.0f}, tint[3] = {0.3f, 1.0f, 0.75f};
    const std::vector<Spec> specs = {{0, -1, 0, 0, -1.0f, 1.0f, nullptr, true},   {1, 2, 0.3f, 0.7f, 0.55f, 1.0f},
                                     {4, -1, 0, 0, 0.45f, 0.8f, nullptr, true},  {1, -1, 0, 0, 1.0f, 1.0f},
                                     {3, 5, 0.0f, 0.25f, -1.0f, 0.6f},           {4, 1, 0.9f, 0.0f, 0.18f, 1.0f},
                                     {5, -1, 0, 0, 1.2f, 1.0f},     {1, 0, 0.4f, 0.0f, -1.0f, 1.0f, red},
                                     {4, 2, 0.6f, 0.5f, -1.0f, 0.9f, tint}, {1, -1, 0, 0, -1.0f, 1.0f, tint},
                                     {2, -1, 0, 0, -1.0f, 0.7f, tint, true}};
    test::forEachSimdTarget([&] {
        for (const int n : {1, 3, 5, 37, 256, 300})
            for (const int m : {3, int(specs.size())})
                for (const bool screen : {false, true})
                    for (const bool elsewhere : {false, true})
                        for (const bool stream : {false, true}) {
                            // One by one.
                            std::vector<float> want = bg;
                            want.resize(size_t(n) * 4);
                            std::vector<float> layer(size_t(n) * 4), mixed(size_t(n + 1) * 4);
                            kernels::ChainLayer layers[12];
                            for (size_t i = 0; i < size_t(m); ++i) {
                                const Spec& sp = specs[i];
                                const float* row = src[size_t(sp.rowOf)].data() + 4 * i;  // every layer from its own start
                                layers[i] = {row, sp.aboveOf >= 0 ? src[size_t(sp.aboveOf)].data() + 4 * i : nullptr, sp.wx, sp.wy, sp.fade,
                                             screen ? sp.scale : 1.0f, sp.gain};
                                if (sp.halves) {
                                    layers[i].row = nullptr;
                                    layers[i].halves = halfSrc[size_t(sp.rowOf)].data() + 4 * i;
                                    kernels::fromHalves(layers[i].halves, layer.size(), layer.data());
                                } else if (sp.aboveOf >= 0) {
                                    kernels::mixRows(row, layers[i].above, size_t(n + 1) * 4, sp.wy, mixed.data());
                                    kernels::mixRows(mixed.data(), mixed.data() + 4, size_t(n) * 4, sp.wx, layer.data());
                                } else {
                                    std::memcpy(layer.data(), row, layer.size() * sizeof(float));
                                }
                                if (sp.fade >= 0.0f) kernels::alphaScaleRow(sp.fade, layer.data(), layer.data(), n);
                                else if (sp.gain) kernels::gainRow(sp.gain, layer.data(), layer.data(), n);
                                if (screen)
                                    kernels::screenRow(layer.data(), sp.scale, n, want.data());
                                else
                                    kernels::overRow(layer.data(), n, want.data());
                            }
                            // In one pass, into a 64-byte aligned row so streaming can happen.
                            std::vector<float> store(size_t(n) * 4 + 16, -9.0f);
                            float* o = store.data() + (16 - (reinterpret_cast<uintptr_t>(store.data()) % 64) / 4) % 16;
                            if (!elsewhere) std::memcpy(o, bg.data(), size_t(n) * 4 * sizeof(float));
                            if (screen)
                                kernels::screenChainRow(layers, m, n, o, elsewhere ? bg.data() : nullptr, stream);
                            else
                                kernels::overChainRow(layers, m, n, o, elsewhere ? bg.data() : nullptr, stream);
                            hwy::FlushStream();
                            ASSERT_EQ(0, std::memcmp(o, want.data(), want.size() * sizeof(float)))
                                << "n " << n << " m " << m << (screen ? " screen" : " over") << (elsewhere ? " from elsewhere" : " in place")
                                << (stream ? " streamed" : "");
                            if (elsewhere) {
                                EXPECT_EQ(o[4 * n], -9.0f) << "written past the row";
                            }
                        }
        // Not a chain of nothing: the layers moved the picture.
        std::vector<float> o = bg;
        kernels::ChainLayer one[1] = {{src[4].data(), nullptr, 0, 0, 0.5f, 1.0f}};
        kernels::overChainRow(one, 1, kMax, o.data());
        EXPECT_NEAR(o[3], 0.5f + bg[3] * 0.5f, 1e-6f);
    });
}

// A move by a fraction of a pixel is the bilinear sample of the picture at every pixel (zero
// outside it), whatever the rectangle asked for and the tiles; tiles agree with the whole to the bit.
TEST(PixelKernels, FractionalMovesAreBilinearSamplesWhereverTheTileStarts) {
    const int w = 301, h = 17;
    const std::vector<float> px = somePixels(w * h, 77);
    const Image src(std::make_shared<Stored>(px, w, h));
    for (const auto& [tx, ty] : {std::pair{3.37, -1.61}, std::pair{-2.75, 0.5}, std::pair{0.125, 2.0}}) {
        const Image moved = src.translated(tx, ty);
        test::forEachSimdTarget([&] {
            const IRect whole{-5, -4, w + 10, h + 8};
            Renderer r1(2, 64), r7(2, 7);
            const std::vector<float> a = r1.renderFloat(moved, whole), b = r7.renderFloat(moved, whole);
            ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
            const std::vector<float> part = r7.renderFloat(moved, {whole.x + 13, whole.y + 3, 200, 9});
            for (int j = 0; j < 9; ++j)
                ASSERT_EQ(0, std::memcmp(&part[size_t(j) * 200 * 4], &a[(size_t(j + 3) * whole.w + 13) * 4], 200 * 4 * sizeof(float)));
            float worst = 0;
            for (int j = 0; j < whole.h; ++j)
                for (int i = 0; i < whole.w; ++i) {
                    const double sx = whole.x + i + 0.5 - tx - 0.5, sy = whole.y + j + 0.5 - ty - 0.5;
                    const int x0 = int(std::floor(sx)), y0 = int(std::floor(sy));
                    const double fx = sx - x0, fy = sy - y0;
                    for (int c = 0; c < 4; ++c) {
                        const auto at = [&](int x, int y) { return x < 0 || y < 0 || x >= w || y >= h ? 0.0 : double(px[(size_t(y) * w + x) * 4 + c]); };
                        const double want = (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) + (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
                        worst = std::max(worst, float(std::abs(want - a[(size_t(j) * whole.w + i) * 4 + c])));
                    }
                }
            EXPECT_LT(worst, 2e-6f) << tx << "," << ty;
        });
    }
}

TEST(PixelKernels, LuminanceMapsReadTheirTableOnEveryTarget) {
    const int steps = 4096, n = 19;
    const float w[3] = {0.2f, 0.7f, 0.1f};
    // A gentle ramp per channel: an entry off by one is 1e-4 away, a rounding of the position far less.
    std::vector<float> table(size_t(steps + 2) * 4);
    for (int k = 0; k < steps + 2; ++k)
        for (int c = 0; c < 4; ++c) table[size_t(4 * k + c)] = 0.5f * float(k) / float(steps) + 0.1f * float(c);
    std::vector<float> in(size_t(n) * 4);
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) in[4 * i + c] = float((i * 7 + c * 3) % 11) / 10.0f;
    in[4 * 5] = 4.0f, in[4 * 9 + 1] = -1.0f;  // sums outside 0…1
    test::forEachSimdTarget([&] {
        std::vector<float> p = in;
        std::vector<int> outside(size_t(n), -1);
        const int m = kernels::luminanceMapRow(p.data(), n, w, table.data(), steps, outside.data());
        ASSERT_EQ(m, 2);
        EXPECT_EQ(outside[0], 5);
        EXPECT_EQ(outside[1], 9);
        for (int i = 0; i < n; ++i) {
            const float* v = in.data() + 4 * i;
            if (i == 5 || i == 9) {
                for (int c = 0; c < 4; ++c) EXPECT_EQ(p[4 * i + c], v[c]);
                continue;
            }
            const float x = (v[0] * w[0] + v[1] * w[1] + v[2] * w[2]) * steps;
            const int k = int(x);
            for (int c = 0; c < 3; ++c) {
                const float e0 = table[size_t(4 * k + c)], e1 = table[size_t(4 * k + 4 + c)];
                ASSERT_NEAR(p[4 * i + c], e0 + (e1 - e0) * (x - float(k)), 2e-6) << i << "," << c;
            }
            ASSERT_EQ(p[4 * i + 3], v[3]);
        }
    });
}

namespace {
// Kinks on multiples of 1/4 (the table's points) and a smooth curve, per channel.
class KinkedMap final : public LuminanceMapOp {
public:
    KinkedMap() : LuminanceMapOp({0.299f, 0.587f, 0.114f}) {}
    void colourAt(float s, float* rgb) const override {
        rgb[0] = s < 0.25f ? s * 2.0f : s < 0.75f ? 0.5f - (s - 0.25f) * 0.5f : 0.25f + (s - 0.75f) * 3.0f;
        rgb[1] = std::sqrt(std::max(s, 0.0f) + 0.01f);
        rgb[2] = s * s - 0.5f * s;  // outside 0…1 too
    }
};
}  // namespace

// A luminance map put into a picture reads its table, within 1e-6 of the map (sums outside 0…1
// through the map itself), and is the map itself when the plain chains are asked for.
TEST(PixelKernels, LuminanceMapsInAPictureAreTheirMapToRounding) {
    const int n = 41;
    std::vector<float> px = somePixels(n, 90);
    px[4 * 7 + 0] = 3.0f;   // a sum above 1
    px[4 * 12 + 2] = -2.0f;  // below 0
    const auto map = std::make_shared<KinkedMap>();
    std::vector<float> literal = px;
    map->apply(literal.data(), n);
    for (int i = 0; i < n; ++i) ASSERT_EQ(literal[4 * i + 3], px[4 * i + 3]) << "alpha kept";
    const Image src(std::make_shared<Stored>(px, n, 1));
    test::forEachSimdTarget([&] {
        Renderer r(1, 8);
        const std::vector<float> viaTable = r.renderFloat(src.pixelOp(map), {0, 0, n, 1});
        setStraightforwardChains(true);
        const std::vector<float> plain = r.renderFloat(src.pixelOp(map), {0, 0, n, 1});
        setStraightforwardChains(false);
        EXPECT_EQ(0, std::memcmp(plain.data(), literal.data(), plain.size() * sizeof(float)));
        int differing = 0;
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 4; ++c) {
                ASSERT_NEAR(viaTable[4 * i + c], literal[4 * i + c], 1e-6f) << i << "," << c;
                differing += viaTable[4 * i + c] != literal[4 * i + c];
                if (i == 7 || i == 12) {  // the map itself, to a rounding of the sum
                    EXPECT_NEAR(viaTable[4 * i + c], literal[4 * i + c], 1e-7f) << "outside the table";
                }
            }
        EXPECT_GT(differing, 0) << "the table was not read";
    });
}

// The grey picture's edges from one channel are the colour edges to the bit, for every row length
// (the tails go through the same vector code).
TEST(PixelKernels, GreyEdgesAreTheColourEdgesOfOneChannelOnEveryTarget) {
    const int widest = 37;
    std::vector<float> src = somePixels((widest + 2) * 3, 29);
    for (size_t i = 0; i < src.size(); i += 4) src[i + 1] = src[i + 2] = src[i];
    test::forEachSimdTarget([&] {
        for (int n = 1; n <= widest; n += 4) {
            const int w = n + 2;
            std::vector<float> rows;
            for (int j = 0; j < 3; ++j) rows.insert(rows.end(), src.begin() + j * (widest + 2) * 4, src.begin() + (j * (widest + 2) + w) * 4);
            std::vector<float> enc(rows.size()), plane(size_t(w) * 3);
            kernels::encodePremultipliedRow(rows.data(), size_t(w) * 3, enc.data());
            kernels::encodeGreyPlane(rows.data(), size_t(w) * 3, plane.data());
            for (int i = 0; i < w * 3; ++i) ASSERT_EQ(plane[size_t(i)], enc[size_t(4 * i)]) << n << " encode " << i;
            std::vector<float> colour(size_t(n) * 4, -1.0f), grey(size_t(n) * 4, -2.0f);
            kernels::sobelRow(enc.data(), enc.data() + size_t(w) * 4, enc.data() + size_t(w) * 8, 0.25f, n, colour.data());
            kernels::sobelGreyRow(plane.data(), plane.data() + w, plane.data() + 2 * w, rows.data() + (size_t(w) + 1) * 4, 0.25f, n,
                                  grey.data());
            ASSERT_EQ(0, std::memcmp(colour.data(), grey.data(), colour.size() * sizeof(float))) << n;
        }
    });
}

// Grey maps read red's entry for opaque pixels in 0…1 (the others are listed and left), from the
// RGBA table or from the one level a step; where the table starts flat, that first entry exactly.
TEST(PixelKernels, GreyMapsReadTheirTableOnEveryTarget) {
    const int steps = 4096, n = 45, flat = 600;
    std::vector<float> table(size_t(steps + 2) * 4), level(size_t(steps + 2));
    for (int k = 0; k < steps + 2; ++k) {
        const float v = 0.6f * float(std::max(k, flat) - flat) / float(steps) + 0.05f;
        level[size_t(k)] = v;
        for (int c = 0; c < 4; ++c) table[size_t(4 * k + c)] = v + 0.1f * float(c);
    }
    std::vector<float> in(size_t(n) * 4);
    std::vector<int> listed;
    for (int i = 0; i < n; ++i) {
        float* v = in.data() + 4 * i;
        v[0] = v[1] = v[2] = float((i * 37) % 101) / 100.0f;
        v[3] = 1.0f;
        if (i % 9 == 4) v[3] = 0.5f;                   // translucent
        if (i == 10) v[0] = v[1] = v[2] = 1.5f;         // above 1
        if (i == 21) v[0] = v[1] = v[2] = -0.25f;       // below 0
        if (i == 4 || i == 10 || i == 13 || i == 21 || i == 22 || i == 31 || i == 40) listed.push_back(i);
    }
    // A whole register and more of pixels on the flat part.
    for (int i = 24; i < 24 + 17 && i < n; ++i)
        if (in[4 * i + 3] == 1.0f) in[4 * i] = in[4 * i + 1] = in[4 * i + 2] = 0.01f * float(i % 7);
    test::forEachSimdTarget([&] {
        for (const bool byLevel : {false, true})
            for (const int m : {n, 17, 5}) {
                // In place, and from a copy into a row that holds something else.
                std::vector<float> p = in, into(in.size(), -7.0f);
                std::vector<int> outside(size_t(m), -1), outsideInto(size_t(m), -1);
                const int count = kernels::greyMapRow(p.data(), p.data(), m, table.data(), byLevel ? level.data() : nullptr, steps, flat, outside.data());
                ASSERT_EQ(count, kernels::greyMapRow(in.data(), into.data(), m, table.data(), byLevel ? level.data() : nullptr, steps, flat,
                                                     outsideInto.data()));
                EXPECT_EQ(outside, outsideInto);
                EXPECT_EQ(0, std::memcmp(p.data(), into.data(), size_t(m) * 4 * sizeof(float))) << m;
                std::vector<int> want;
                for (int i : listed)
                    if (i < m) want.push_back(i);
                ASSERT_EQ(std::vector<int>(outside.begin(), outside.begin() + count), want) << m;
                for (int i = 0; i < m; ++i) {
                    const float* v = in.data() + 4 * i;
                    if (std::find(want.begin(), want.end(), i) != want.end()) {
                        for (int c = 0; c < 4; ++c) ASSERT_EQ(p[4 * i + c], v[c]) << "left " << i;
                        continue;
                    }
                    const float x = v[0] * steps;
                    const int k = int(x);
                    for (int c = 0; c < 4; ++c) {
                        const float e0 = byLevel ? (c == 3 ? 1.0f : level[size_t(k)]) : table[size_t(4 * k + c)];
                        const float e1 = byLevel ? (c == 3 ? 1.0f : level[size_t(k + 1)]) : table[size_t(4 * k + 4 + c)];
                        if (x <= flat) {
                            ASSERT_EQ(p[4 * i + c], byLevel ? (c == 3 ? 1.0f : level[0]) : table[size_t(c)]) << "flat " << i;
                        } else {
                            ASSERT_NEAR(p[4 * i + c], e0 + (e1 - e0) * (x - float(k)), 2e-6) << i << "," << c;
                        }
                    }
                }
            }
    });
}

// Which pictures are grey: colour controls at saturation 0 make one; edges, blurs, crops,
// clamps, vignettes, moves and blends of grey pictures keep it, as do tone steps that treat the
// channels alike; a tinted false colour or a matrix whose rows differ in sum does not.
TEST(GreyPictures, AreKnownThroughTheFiltersThatKeepThem) {
    QImage q(16, 8, QImage::Format_ARGB32_Premultiplied);
    q.fill(QColor(200, 40, 90));
    const Image colour = Image::fromQImage(q);
    const Image grey = filters::colorControls(colour, 0.0, 0.1, 1.2);
    EXPECT_FALSE(colour.node()->grey());
    EXPECT_FALSE(filters::colorControls(colour, 0.5, 0.0, 1.0).node()->grey());
    ASSERT_TRUE(grey.node()->grey());
    EXPECT_TRUE(filters::edges(grey, 2.0).node()->grey());
    EXPECT_TRUE(grey.gaussianBlur(3.0).node()->grey());
    EXPECT_TRUE(grey.softBlur(3.0).cropped({0, 0, 8, 8}).node()->grey());
    EXPECT_TRUE(grey.clampedToExtent().node()->grey());
    EXPECT_TRUE(computedOnce(grey).node()->grey());
    EXPECT_TRUE(filters::vignette(grey, 1.0, 1.5).node()->grey());
    EXPECT_TRUE(grey.translated(0.5, 0.25).node()->grey());
    EXPECT_TRUE(filters::bloom(grey, 3.0, 0.4).node()->grey());
    EXPECT_TRUE(filters::screenBlend(filters::edges(grey, 1.0), grey).node()->grey());
    EXPECT_FALSE(filters::screenBlend(colour, grey).node()->grey());
    const Image edges = filters::edges(grey, 1.0);
    EXPECT_TRUE(filters::colorControls(edges, 1.0, -0.4, 1.3).node()->grey());
    EXPECT_TRUE(filters::falseColor(edges, Color::fromSRGB(0.1, 0.1, 0.1), Color::fromSRGB(0.9, 0.9, 0.9)).node()->grey());
    EXPECT_FALSE(filters::falseColor(edges, Color::fromSRGB(0.02, 0.02, 0.03), Color::fromSRGB(0.9, 0.9, 0.9)).node()->grey());
    ColorMatrix swap = identityMatrix();  // red and green exchanged: grey stays grey
    swap[0] = 0, swap[1] = 1, swap[5] = 1, swap[6] = 0;
    EXPECT_TRUE(edges.colorMatrix(swap).node()->grey());
    ColorMatrix warm = identityMatrix();
    warm[0] = 1.1f;
    EXPECT_FALSE(edges.colorMatrix(warm).node()->grey());
}

// A chain of tone steps over a grey picture is read from a table of the grey level: within 2e-5
// of the steps done literally for opaque pixels, and the steps themselves (to the bit) for the
// translucent, transparent and out-of-range ones; tiles agree with the whole.
TEST(GreyPictures, ChainsOverThemAreTablesOfTheLevel) {
    const int w = 61, h = 3;
    std::vector<float> px(size_t(w) * h * 4);
    for (int i = 0; i < w * h; ++i) {
        float* v = px.data() + 4 * i;
        const float a = i % 13 == 5 ? 0.4f : i % 17 == 3 ? 0.0f : 1.0f;
        v[0] = v[1] = v[2] = a * float(i % w) / float(w - 1);
        v[3] = a;
    }
    px[4 * 70] = px[4 * 70 + 1] = px[4 * 70 + 2] = 1.25f;  // brighter than white
    const Image src(std::make_shared<Stored>(px, w, h, true));
    const auto look = [&](const Image& in) {
        const Image dark = filters::colorControls(in, 1.0, -0.4, 1.0);
        return filters::falseColor(dark, Color::fromSRGB(0.02, 0.02, 0.03), Color::fromSRGB(0.92, 0.93, 0.95));
    };
    test::forEachSimdTarget([&] {
        Renderer whole(1, 64), tiled(2, 2);
        const std::vector<float> viaTable = whole.renderFloat(look(src), {0, 0, w, h});
        EXPECT_EQ(viaTable, tiled.renderFloat(look(src), {0, 0, w, h}));
        setStraightforwardChains(true);
        const std::vector<float> literal = whole.renderFloat(look(src), {0, 0, w, h});
        setStraightforwardChains(false);
        int differing = 0, black = 0;
        for (int i = 0; i < w * h; ++i) {
            const bool tabled = px[4 * i + 3] == 1.0f && px[4 * i] <= 1.0f;
            for (int c = 0; c < 4; ++c) {
                if (tabled)
                    ASSERT_NEAR(viaTable[4 * i + c], literal[4 * i + c], 2e-5f) << i << "," << c;
                else
                    ASSERT_EQ(viaTable[4 * i + c], literal[4 * i + c]) << "through the steps " << i << "," << c;
                differing += viaTable[4 * i + c] != literal[4 * i + c];
            }
            black += tabled && literal[4 * i] == viaTable[4 * i] && px[4 * i] < 0.1f;
        }
        EXPECT_GT(differing, 0) << "the table was not read";
        EXPECT_GT(black, 0);
    });
}

TEST(PixelKernels, EdgeRowsAreTheSobelOfEncodedColourOnEveryTarget) {
    const int n = 21, w = n + 2;
    const std::vector<float> src = somePixels(w * 3, 23);
    test::forEachSimdTarget([&] {
        std::vector<float> enc(src.size(), -1.0f);
        kernels::encodePremultipliedRow(src.data(), size_t(w) * 3, enc.data());
        for (int i = 0; i < w * 3; ++i) {
            const float* v = src.data() + 4 * i;
            const float a = v[3];
            for (int c = 0; c < 3; ++c) {
                float un = 0;
                if (a >= 1) un = v[c];
                else if (a > 0) un = v[c] > a ? v[c] : v[c] / a;
                ASSERT_NEAR(enc[4 * i + c], srgbEncode(un) * std::clamp(a, 0.0f, 1.0f), 2e-4) << "encode " << i << "," << c;
            }
            ASSERT_EQ(enc[4 * i + 3], a);
        }
        const float k = 0.9f;
        std::vector<float> o(size_t(n) * 4, -1.0f);
        const float* m0 = enc.data();
        const float* m1 = m0 + size_t(w) * 4;
        const float* m2 = m1 + size_t(w) * 4;
        kernels::sobelRow(m0, m1, m2, k, n, o.data());
        for (int i = 0; i < n; ++i) {
            const int p = 4 * i;
            const float a = std::clamp(m1[p + 7], 0.0f, 1.0f);
            for (int c = 0; c < 3; ++c) {
                const auto at = [&](const float* row, int dx) { return row[p + 4 * dx + c]; };
                const float gx = at(m0, 2) - at(m0, 0) + 2 * (at(m1, 2) - at(m1, 0)) + at(m2, 2) - at(m2, 0);
                const float gy = at(m2, 0) - at(m0, 0) + 2 * (at(m2, 1) - at(m0, 1)) + at(m2, 2) - at(m0, 2);
                ASSERT_NEAR(o[p + c], srgbDecode(k * std::sqrt(gx * gx + gy * gy)) * a, 2e-4) << "sobel " << i << "," << c;
            }
            ASSERT_EQ(o[p + 3], a);
        }
    });
}

TEST(PixelKernels, SixteenBitLayersDecodeAndCompositeOnEveryTarget) {
    const int n = 27;
    std::vector<uint64_t> a(static_cast<size_t>(n)), b(static_cast<size_t>(n));
    std::mt19937 rng(31);
    for (int i = 0; i < n; ++i) {
        const uint64_t al = i % 4 == 0 ? 0 : i % 4 == 1 ? 0xFFFF : rng() % 0xFFFF;
        uint64_t pa = al << 48, pb = (uint64_t(rng() % 0x10000) | 0xFFFF) << 48;
        for (int c = 0; c < 3; ++c) pa |= (al ? rng() % (al + 1) : 0) << (16 * c);
        for (int c = 0; c < 3; ++c) pb |= (rng() % 0x10000) << (16 * c);
        a[size_t(i)] = pa, b[size_t(i)] = pb;
    }
    const auto ch = [](uint64_t p, int c) { return float((p >> (16 * c)) & 0xFFFF) / 65535.0f; };
    const std::vector<float> bg = somePixels(n, 37);
    test::forEachSimdTarget([&] {
        std::vector<float> o(size_t(n) * 4, -1.0f);
        kernels::decodeRgba64Row(a.data(), n, o.data());
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 4; ++c) ASSERT_EQ(o[4 * i + c], ch(a[size_t(i)], c)) << "decode " << i << "," << c;
        o = bg;
        kernels::overRgba64Row(a.data(), nullptr, 1.0f, 0.0f, n, o.data());
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < 4; ++c) {
                const float fg = ch(a[size_t(i)], c), want = fg + bg[4 * i + c] * (1 - ch(a[size_t(i)], 3));
                ASSERT_NEAR(o[4 * i + c], want, 1e-6) << "over " << i << "," << c;
                if ((a[size_t(i)] >> 48) == 0) {
                    ASSERT_EQ(o[4 * i + c], bg[4 * i + c]) << "transparent " << i;
                }
            }
        o = bg;
        const float w1 = 0.3f;
        kernels::overRgba64Row(a.data(), b.data(), 1 - w1, w1, n, o.data());
        for (int i = 0; i < n; ++i) {
            const float fa = ch(a[size_t(i)], 3) * (1 - w1) + ch(b[size_t(i)], 3) * w1;
            for (int c = 0; c < 4; ++c) {
                const float fg = ch(a[size_t(i)], c) * (1 - w1) + ch(b[size_t(i)], c) * w1;
                ASSERT_NEAR(o[4 * i + c], fg + bg[4 * i + c] * (1 - fa), 1e-6) << "mix " << i << "," << c;
            }
        }
    });
}
