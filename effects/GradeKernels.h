#pragma once
// The colour-grade shortcuts' table reads, written once with Highway and dispatched to the best
// vector target (see pipeline/engine/SimdTargets.h).
#include <cstdint>

namespace ostrela::effects::grade {

// n premultiplied pixels in place through a table of `steps` + 1 RGBA entries indexed by the
// square root of the unpremultiplied value: red alone picks the entry, or (perChannel) each
// channel its own, where opaque pixels with every channel below `blackBelow` give black.
void rampTableRow(float* p, int n, const float* table, int steps, bool perChannel, float blackBelow);

}  // namespace ostrela::effects::grade
