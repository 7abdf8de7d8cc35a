#include "pipeline/engine/SimdTargets.h"

#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace ostrela::engine::simd {

namespace {
// Every target better than `best` (Highway numbers better targets with lower bits).
int64_t better(int64_t best) { return best - 1; }
}  // namespace

std::optional<int64_t> targetsAbove(const std::string& cap) {
    if (cap == "avx512") return better(HWY_AVX3);
    if (cap == "avx2") return better(HWY_AVX2);
    if (cap == "sse4") return better(HWY_SSE4);
    if (cap == "scalar" || cap == "emu128") return ~int64_t(HWY_SCALAR | HWY_EMU128);
    return std::nullopt;
}

void init() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* cap = std::getenv("OSTRELA_SIMD");
        if (!cap || !*cap) return;
        const auto disabled = targetsAbove(cap);
        if (!disabled) {
            std::fprintf(stderr, "OSTRELA_SIMD: unknown target \"%s\" (avx512, avx2, sse4 or scalar); not capping\n", cap);
            return;
        }
        hwy::DisableTargets(*disabled);
        // Dispatch tables already resolved keep their choice until told again.
        hwy::GetChosenTarget().Update(hwy::SupportedTargets());
    });
}

const char* targetName() {
    const int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
    return hwy::TargetName(usable & -usable);
}

}  // namespace ostrela::engine::simd
