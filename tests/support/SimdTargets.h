#pragma once
// Runs a test body once for every vector target the engine was compiled for and this processor
// supports (on an AVX-512 machine: AVX3, AVX2, SSE4 and the scalar fallback), with every kernel
// dispatching to that target alone. Failures carry the target's name.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostrela::test {

// The targets forEachSimdTarget visits, best first, as Highway bits.
std::vector<int64_t> simdTargets();
std::string simdTargetName(int64_t target);

void forEachSimdTarget(const std::function<void()>& body);

}  // namespace ostrela::test
