#pragma once
// Dream Sequence's per-pixel steps in wider forms that give the filters' own pixels.
#include "pipeline/engine/Image.h"

namespace ostrela::effects::dream {

// filters::gammaAdjust's step (straight values to `power`, in linear light), two pixels at a
// time where the processor has eight-wide arithmetic; the same polynomials, the same results.
engine::PixelOpPtr wideGammaOp(float power);

}  // namespace ostrela::effects::dream
