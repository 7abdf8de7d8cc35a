#pragma once
// Which vector instruction set the engine's kernels run with. Each kernel is written once with
// Highway, compiled for every x86 target (AVX-512, AVX2, SSE4 and a scalar fallback) and chosen
// at run time, once for the process. OSTRELA_SIMD caps the choice, so slower targets can be measured
// on a machine that has faster ones: "avx512", "avx2", "sse4", "scalar" (or "emu128").
#include <cstdint>
#include <optional>
#include <string>

namespace ostrela::engine::simd {

// Reads OSTRELA_SIMD and applies the cap; later calls do nothing. An unknown value prints one line
// on stderr and caps nothing. The renderer calls this before its first frame.
void init();

// The targets a cap value leaves out (Highway target bits); nullopt for an unknown value.
std::optional<int64_t> targetsAbove(const std::string& cap);

// The target the kernels dispatch to now, as Highway names it ("AVX3", "AVX2", "SSE4", "SCALAR").
const char* targetName();

}  // namespace ostrela::engine::simd
