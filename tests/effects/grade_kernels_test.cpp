// The colour-grade shortcuts' table reads on every vector target compiled in and supported here,
// each against a plain scalar statement of what it computes.
#include "effects/GradeKernels.h"
#include "pipeline/engine/Filters.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

using namespace ostrela;
namespace filters = ostrela::engine::filters;

namespace {
std::vector<float> someTable(int entries, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> t(size_t(entries) * 4);
    for (float& v : t) v = u(rng);
    return t;
}
float mix(const std::vector<float>& t, int k, float f, int c) { return t[size_t(4 * k + c)] + (t[size_t(4 * k + 4 + c)] - t[size_t(4 * k + c)]) * f; }
}  // namespace

TEST(GradeKernels, RampTableReadsBySquareRootOnEveryTarget) {
    const int steps = 255, n = 31;
    const std::vector<float> table = someTable(steps + 1, 2);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> in(size_t(n) * 4);
    for (int i = 0; i < n; ++i) {
        const float a = i % 6 == 0 ? 0.0f : i % 3 == 1 ? 0.4f : 1.0f;
        for (int c = 0; c < 3; ++c) in[4 * i + c] = u(rng) * a;
        in[4 * i + 3] = a;
    }
    in[4 * 2] = in[4 * 2 + 1] = in[4 * 2 + 2] = 0.001f;  // opaque and below the black threshold
    test::forEachSimdTarget([&] {
        for (const bool perChannel : {false, true}) {
            const float blackBelow = perChannel ? 0.002f : -1.0f;
            std::vector<float> p = in;
            effects::grade::rampTableRow(p.data(), n, table.data(), steps, perChannel, blackBelow);
            for (int i = 0; i < n; ++i) {
                const float* v = in.data() + 4 * i;
                const float a = std::min(v[3], 1.0f);
                float want[4] = {0, 0, 0, 0};
                if (a > 0 && perChannel && a >= 1 && v[0] < blackBelow && v[1] < blackBelow && v[2] < blackBelow) {
                    want[3] = table[3];
                } else if (a > 0) {
                    const auto x = [&](int c) { return std::sqrt(std::clamp(v[c] / a, 0.0f, 1.0f)) * steps; };
                    if (perChannel) {
                        for (int c = 0; c < 3; ++c) want[c] = mix(table, int(x(c)), x(c) - float(int(x(c))), c) * a;
                        want[3] = table[3] * a;
                    } else {
                        const int k = int(x(0));
                        for (int c = 0; c < 4; ++c) want[c] = mix(table, k, x(0) - float(k), c) * a;
                    }
                }
                for (int c = 0; c < 4; ++c) ASSERT_NEAR(p[4 * i + c], want[c], 3e-5) << perChannel << " " << i << "," << c;
            }
        }
    });
}
