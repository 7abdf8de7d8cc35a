// The tone-curve pass (matrix, curve of each encoded channel, matrix) on every vector target.
#include "pipeline/engine/Kernels.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace ostrela;
namespace k = ostrela::engine::kernels;

TEST(ToneCurveKernel, AgreesAcrossTargets) {
    // A curve of x² on a coarse table and one cubic per segment that is exactly it.
    const int steps = 4096;
    std::vector<float> table(steps + 2);
    for (int i = 0; i <= steps; ++i) table[i] = float(double(i) / steps * (double(i) / steps));
    table[steps + 1] = table[steps];
    alignas(64) float cubic[4][16], instead[16] = {};
    for (int s = 0; s < 16; ++s) {
        const double lo = std::ldexp(1.0 + 0.5 * (s % 2), s / 2 - 8), w = std::ldexp(0.5, s / 2 - 8);
        cubic[0][s] = float(lo * lo), cubic[1][s] = float(2 * lo * w), cubic[2][s] = float(w * w), cubic[3][s] = 0.0f;
    }
    const k::CurveTable curve{table.data(), steps, {cubic[0], cubic[1], cubic[2], cubic[3]}, instead, false};
    const float grade[12] = {0.9f, 0.05f, 0.05f, 0.01f, 0.05f, 0.9f, 0.05f, 0.0f, 0.05f, 0.05f, 0.9f, -0.01f};
    const float hue[9] = {0.8f, 0.1f, 0.1f, 0.1f, 0.8f, 0.1f, 0.1f, 0.1f, 0.8f};
    const int n = 77;
    std::vector<float> px(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const float a = i % 4 == 0 ? 0.5f : 1.0f;
        px[4 * i] = a * float(i) / n, px[4 * i + 1] = a * float((i * 5) % n) / n, px[4 * i + 2] = a * 0.003f * i, px[4 * i + 3] = a;
    }
    std::vector<std::vector<float>> results;
    test::forEachSimdTarget([&] {
        std::vector<float> o = px;
        k::toneCurveRun(o.data(), n, grade, hue, curve);
        results.push_back(o);
    });
    for (size_t t = 0; t + 1 < results.size(); ++t)
        for (size_t j = 0; j < px.size(); ++j) ASSERT_NEAR(results[t][j], results.back()[j], 2e-5) << test::simdTargetName(test::simdTargets()[t]) << " " << j;
}
