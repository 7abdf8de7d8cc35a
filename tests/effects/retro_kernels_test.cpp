// The VHS chroma bleed row on every vector target against its scalar statement (to a
// rounding of a fused multiply-add), every row length giving each pixel the same value.
#include "effects/RetroKernels.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace ostrela;

namespace {
std::vector<float> pattern(size_t n, int mul) {
    std::vector<float> v(n);
    for (size_t k = 0; k < n; ++k) v[k] = float((k * mul) % 211) / 210.0f;
    return v;
}
}  // namespace

TEST(RetroKernels, BleedOnEveryTargetFollowsItsStatement) {
    test::forEachSimdTarget([] {
        for (const int n : {1, 7, 16, 37}) {
            const int d = 3;
            const std::vector<float> src = pattern(size_t(n + 2 * d) * 4, 37);
            const float* row = src.data() + 4 * d;
            std::vector<float> o(size_t(n) * 4);
            effects::retro::bleedRow(o.data(), row, n, d);
            for (int i = 0; i < n; ++i) {
                const float* red = row - 4 * d + 4 * i;
                const float* mid = row + 4 * i;
                const float* blue = row + 4 * d + 4 * i;
                ASSERT_EQ(o[4 * i], red[0]) << i;
                ASSERT_EQ(o[4 * i + 1], mid[1]) << i;
                ASSERT_EQ(o[4 * i + 2], blue[2]) << i;
                ASSERT_NEAR(o[4 * i + 3], 1.0f - (1.0f - red[3]) * (1.0f - mid[3]) * (1.0f - blue[3]), 1e-6) << i;
            }
        }
    });
}

TEST(RetroKernels, APixelsValueDoesNotDependOnItsPlaceInTheRow) {
    test::forEachSimdTarget([] {
        const int n = 37, d = 2;
        const std::vector<float> src = pattern(size_t(n + 2 * d + 1) * 4, 41);
        std::vector<float> whole(size_t(n) * 4), part(size_t(n) * 4);
        for (const int start : {1, 5, 19}) {
            effects::retro::bleedRow(whole.data(), src.data() + 4 * d, n, d);
            effects::retro::bleedRow(part.data(), src.data() + 4 * d + 4 * start, n - start, d);
            for (int k = 0; k < (n - start) * 4; ++k) ASSERT_EQ(part[k], whole[4 * start + k]) << "bleed from " << start;
        }
    });
}
