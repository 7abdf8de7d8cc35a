#pragma once
// Speed shortcuts for the colour-grade looks. Each gives the pixels of a chain of standard filters
// (up to rounding, measured in bench/effects_grades_bench.cpp) at a fraction of its cost.
#include "pipeline/engine/Image.h"

#include <array>
#include <vector>

namespace ostrela::effects::shortcuts {

// `ops` applied to every pixel but those equal to `common`, which get its precomputed result.
engine::PixelOpPtr skipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common);

}  // namespace ostrela::effects::shortcuts
