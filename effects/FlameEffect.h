#pragma once
// Flame: a warm, flickering grade with procedural fire along the bottom and rising embers, all
// made from noise and standard filters.
#include "pipeline/engine/Image.h"

namespace ostrela::effects {

engine::Image renderFlame(const engine::Image& image, double t);

namespace flame {

// Brightness offset of the flickering grade.
double flicker(double t);
// Upward shift of a scrolling noise octave (pixels).
double octaveOffset(double speed, double phase, double t);
// Sideways sway and rise of the ember noise.
engine::Point emberOffset(double width, double t);

engine::Image grade(const engine::Image& image, double t);
// The fire along the bottom of E; transparent from 40 % of the height up.
engine::Image fireLayer(const engine::Rect& extent, double t);
// The same, for use within `band` only (outside it the result may be incomplete).
engine::Image fireLayer(const engine::Rect& extent, double t, const engine::Rect& band);
engine::Image emberLayer(const engine::Rect& extent, double t);
// The mask that shapes the fire (height fade times bottom-centre spread).
engine::Image fireMask(const engine::Rect& extent);

}  // namespace flame
}  // namespace ostrela::effects
