// Dream Sequence's halo rows on every vector target against the per-pixel rule they share with
// the rows' remainders, to the bit (neither side fuses multiply-adds).
#include "effects/DreamHaloKernels.h"
#include "pipeline/engine/SimdTargets.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

using namespace ostrela;
namespace k = ostrela::effects::dream::kernels;

namespace {
std::vector<float> pattern(size_t n, int mul) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = float((i * mul) % 199) / 198.0f;
    return v;
}
}  // namespace

TEST(DreamHaloKernels, RowsFollowTheirPerPixelRuleOnEveryTarget) {
    test::forEachSimdTarget([] {
        const int n = 53;
        const std::vector<float> a = pattern(size_t(n) * 4, 31), b = pattern(size_t(n) * 4, 17);
        std::vector<float> o = a;
        int done = k::overRow(o.data(), b.data(), n, 0.32f);
        if (std::string(engine::simd::targetName()) != "SCALAR") EXPECT_GT(done, 0);  // the scalar target leaves rows to the caller
        EXPECT_LE(done, n);
        for (int i = 0; i < done; ++i) {
            const float* p = &a[4 * size_t(i)];
            const float t = 1.0f - p[3] * 0.32f;
            for (int c = 0; c < 4; ++c) ASSERT_EQ(o[4 * i + c], p[c] * 0.32f + b[4 * i + c] * t) << i;
        }
        o = a;
        done = k::screenRow(o.data(), b.data(), n, 0.45f);
        for (int j = 0; j < done * 4; ++j) {
            const float x = a[j] * 0.45f;
            ASSERT_EQ(o[j], (x + b[j]) - x * b[j]) << j;
        }
        done = k::echoRow(a.data(), b.data(), n, 0.16f, o.data());
        for (int i = 0; i < done; ++i) {
            const float t = 1.0f - b[4 * i + 3] * 0.16f;
            for (int c = 0; c < 4; ++c) ASSERT_EQ(o[4 * i + c], b[4 * i + c] * 0.16f + a[4 * i + c] * t) << i;
        }
        // The fringe over a row of n pixels from column 10, taps two to the left and three to the right.
        const int bx = 10, rb = -3, lb = 2, x0 = bx + 3, m = n - 6;
        const float rw = 0.3f, lw = 0.6f;
        done = k::fringeRow(a.data(), bx, x0, m, rb, lb, rw, lw, o.data());
        if (std::string(engine::simd::targetName()) != "SCALAR") EXPECT_GT(done, 0);  // the scalar target leaves rows to the caller
        for (int i = 0; i < done; ++i) {
            const int x = x0 + i;
            const float* p = &a[size_t(x + rb - bx) * 4];
            const float* q = &a[size_t(x + lb - bx) * 4];
            const float* s = &a[size_t(x - bx) * 4];
            const float rr = p[0] + (p[4] - p[0]) * rw, ra = p[3] + (p[7] - p[3]) * rw;
            const float bv = q[2] + (q[6] - q[2]) * lw, ba = q[3] + (q[7] - q[3]) * lw;
            const float sv[4] = {rr, 0.0f, bv, ra + ba - ra * ba};
            for (int c = 0; c < 4; ++c) ASSERT_EQ(o[4 * i + c], (sv[c] + s[c]) - sv[c] * s[c]) << i << " " << c;
        }
    });
}
