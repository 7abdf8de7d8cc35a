#pragma once
// Speed shortcuts for the colour-grade looks. Each gives the pixels of a chain of standard filters
// (up to rounding, measured in bench/effects_grades_bench.cpp) at a fraction of its cost.
#include "pipeline/engine/Image.h"

#include "pipeline/engine/Renderer.h"

#include <array>
#include <functional>
#include <vector>

namespace ostrela::effects::shortcuts {

using Chain = engine::Image (*)(const engine::Image&);

// A tone step on float pixels that works per channel (perChannel) or sees a grey picture (red
// picks the entry), baked over linear values evenly spaced in their square root.
engine::PixelOpPtr rampTableOp(Chain chain, bool perChannel);

// `ops` applied to every pixel but those equal to `common`, which get its precomputed result.
engine::PixelOpPtr skipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common);

}  // namespace ostrela::effects::shortcuts
