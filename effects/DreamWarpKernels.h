#pragma once
// Dream Sequence's zoom-burst rows, written once with Highway and dispatched to the
// best vector target (see pipeline/engine/SimdTargets.h).
#include <cstdint>

namespace ostrela::effects::dream::kernels {

// Pixels [lo, hi) of row o with one burst copy at 24 % screened onto them: pixel i mixes columns
// cx[i] and cx[i] + 1 of rows r0 and r1 by cw[i] across and wy down.
void screenCopyRow(const float* r0, const float* r1, const int* cx, const float* cw, float wy, int lo, int hi, float* o);

// The burst's nine magnified copies done together, a register of output pixels (a group) at a
// time, colour by colour; burstLanes() is the group's size on the target in use.
int burstLanes();
// Per group g and copy k (q = 9g + k): the first source column of the group's taps (base[q]), the
// lane's tap column from there (idx[q·lanes + j], at most j: magnified copies step by 0 or 1)
// and its horizontal weight (w[q·lanes + j]).
struct BurstTables {
    const int* base;
    const uint8_t* idx;
    const float* w;
};
// One output row: per copy its two source rows and the row after them (fetched on the way), its
// vertical weight; the picture under the copies and the output, both from the first group on.
struct BurstRow {
    const float* r0[9];
    const float* r1[9];
    const float* next[9];
    float wy[9];
    const float* under;
    float* o;
};
// The row and groups whose under and output are fetched while this one is worked on.
struct BurstAhead {
    const float* under;
    const float* o;
    int groups;
};
// Columns of scratch per copy and colour: enough for a chunk of 128 output pixels.
constexpr int kBurstPlane = 176;
constexpr int kBurstChunk = 128;
// Groups [g0, g1) of one row, at most kBurstChunk pixels: o = 1 − (1 − under)·Π(1 − 24 %·copy).
// `planes` holds 9 × 4 × kBurstPlane floats, zeroed once.
void burstGroups(const BurstRow& row, const BurstTables& t, int g0, int g1, float* planes, const BurstAhead& ahead);

}  // namespace ostrela::effects::dream::kernels
