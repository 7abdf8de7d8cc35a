// The engine's kernels are compiled for every x86 vector target and dispatched once; the tests
// can pin each target in turn, and OSTRELA_SIMD caps the choice.
#include "pipeline/engine/SimdTargets.h"
#include "tests/support/SimdTargets.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <string>

using namespace ostrela;

namespace {
std::vector<std::string> names(const std::vector<int64_t>& targets) {
    std::vector<std::string> out;
    for (int64_t t : targets) out.push_back(test::simdTargetName(t));
    return out;
}
bool has(const std::vector<std::string>& v, const char* name) { return std::find(v.begin(), v.end(), name) != v.end(); }
}  // namespace

TEST(SimdTargets, EveryTargetThisProcessorRunsIsCompiledIn) {
    const auto visited = names(test::simdTargets());
    EXPECT_TRUE(has(visited, "SCALAR"));
    EXPECT_TRUE(has(visited, "SSE4"));
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        EXPECT_TRUE(has(visited, "AVX2"));
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl")) {
        EXPECT_TRUE(has(visited, "AVX3"));
    }
    EXPECT_FALSE(has(visited, "SSSE3"));  // not built: SSE4 is the baseline
}

TEST(SimdTargets, EachPassDispatchesToItsOwnTarget) {
    const auto expected = names(test::simdTargets());
    std::vector<std::string> seen;
    test::forEachSimdTarget([&] { seen.push_back(engine::simd::targetName()); });
    EXPECT_EQ(seen, expected);
    // Afterwards the best target again.
    EXPECT_EQ(std::string(engine::simd::targetName()), expected.front());
}

TEST(SimdTargets, CapValues) {
    const auto avx2 = engine::simd::targetsAbove("avx2");
    ASSERT_TRUE(avx2.has_value());
    EXPECT_TRUE(*avx2 & HWY_AVX3);
    EXPECT_FALSE(*avx2 & HWY_AVX2);
    EXPECT_FALSE(*avx2 & HWY_SSE4);
    const auto sse4 = engine::simd::targetsAbove("sse4");
    ASSERT_TRUE(sse4.has_value());
    EXPECT_TRUE((*sse4 & HWY_AVX2) && (*sse4 & HWY_AVX3));
    EXPECT_FALSE(*sse4 & HWY_SSE4);
    const auto avx512 = engine::simd::targetsAbove("avx512");
    ASSERT_TRUE(avx512.has_value());
    EXPECT_FALSE(*avx512 & (HWY_AVX3 | HWY_AVX2 | HWY_SSE4));
    for (const char* fallback : {"scalar", "emu128"}) {
        const auto s = engine::simd::targetsAbove(fallback);
        ASSERT_TRUE(s.has_value());
        EXPECT_TRUE((*s & HWY_SSE4) && (*s & HWY_AVX2) && (*s & HWY_AVX3));
        EXPECT_FALSE(*s & HWY_SCALAR);
    }
    EXPECT_FALSE(engine::simd::targetsAbove("avx1024").has_value());
    EXPECT_FALSE(engine::simd::targetsAbove("AVX2").has_value());
}

TEST(SimdTargets, RenderToolNamesItsTargetAndTakesTheCap) {
    test::ScopedTestEnv env;
    const std::string tool = test::programPath("ostrela-render") + " --effect noir --synthetic 64x36 --bench 2";
    std::string out;
    const auto all = names(test::simdTargets());
    ASSERT_EQ(0, test::runCommand("env -u OSTRELA_SIMD " + tool + " 2>&1", &out));
    EXPECT_NE(out.find(", " + all.front() + ": median"), std::string::npos) << out;
    if (has(all, "AVX2")) {
        ASSERT_EQ(0, test::runCommand("OSTRELA_SIMD=avx2 " + tool + " 2>&1", &out));
        EXPECT_NE(out.find(", AVX2: median"), std::string::npos) << out;
    }
    ASSERT_EQ(0, test::runCommand("OSTRELA_SIMD=sse4 " + tool + " 2>&1", &out));
    EXPECT_NE(out.find(", SSE4: median"), std::string::npos) << out;
    ASSERT_EQ(0, test::runCommand("OSTRELA_SIMD=scalar " + tool + " 2>&1", &out));
    EXPECT_NE(out.find(", SCALAR: median"), std::string::npos) << out;
    // An unknown cap: one line that says so, and the best target.
    ASSERT_EQ(0, test::runCommand("OSTRELA_SIMD=avx9000 " + tool + " 2>&1", &out));
    EXPECT_NE(out.find("OSTRELA_SIMD: unknown target \"avx9000\" (avx512, avx2, sse4 or scalar); not capping\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find(", " + all.front() + ": median"), std::string::npos) << out;
}
