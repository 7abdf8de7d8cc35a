#pragma once
// Drunk Mode: a warm, washed picture with a swaying double image, trails of the three previous
// frames and a rolling, zooming shake under a breathing blur. The one look besides Dream Sequence
// that remembers earlier frames.
#include "pipeline/engine/Image.h"

#include <array>
#include <memory>
#include <vector>

namespace ostrela::effects {

engine::Image renderDrunkMode(const engine::Image& image, double t);

// A picture evaluated once into linear float pixels and then read like any other image. Chains
// that sample one picture many times at different places (scaled copies, rotations, a stored
// frame read again next frame) use it so the picture is not re-evaluated for every reader.
// Renders with a process-wide renderer; effect steps run one at a time.
engine::Image materialize(const engine::Image& image);
bool isMaterialized(const engine::Image& image);

namespace drunk {

// The graded picture of the frame (steps 1–2), which is also what the trail history stores.
engine::Image grade(const engine::Image& image);

struct Shake {
    double dx, dy, angle, zoom;
};
Shake shake(double t);
double blurSigma(double t);
// The point p moved by the shake about centre (cx, cy).
engine::Affine shakeTransform(double t, double cx, double cy);

// The trail history, newest first; an empty slot is a null image.
const std::array<engine::Image, 3>& history();
int historyDepth();  // filled slots
// For tests: forget the history, as at process start.
void resetHistoryForTesting();

}  // namespace drunk
}  // namespace ostrela::effects
