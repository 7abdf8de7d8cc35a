#pragma once
// Flame: a warm, flickering grade with procedural fire along the bottom and rising embers, all
// made from noise and standard filters.
#include "effects/Effects.h"
#include "pipeline/engine/Image.h"

#include <memory>

namespace ostrela::effects {

namespace flame {
struct Caches;
}

// The look keeps the noise rows it scrolls over and the fire's mask while it runs, and lets them
// go when another look takes over; the picture never depends on them.
class Flame final : public Effect {
public:
    Flame();
    ~Flame() override;
    engine::Image render(const engine::Image& image, const FrameContext& frame) override;
    engine::Image render(const engine::Image& image, double t) { return render(image, FrameContext{t, VideoEffect::none, {}}); }
    void suspend() override;
    bool holdsCaches() const { return caches_ != nullptr; }
    // What it keeps, made if needed (for measuring the layers one by one).
    flame::Caches& caches();

private:
    std::unique_ptr<flame::Caches> caches_;
};

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
// The same, for use within `band` only (outside it the result may be incomplete), keeping what
// it reads in `caches` from frame to frame (none: everything is made for this call alone).
engine::Image fireLayer(const engine::Rect& extent, double t, const engine::Rect& band, Caches* caches);
engine::Image emberLayer(const engine::Rect& extent, double t, Caches* caches = nullptr);
// The mask that shapes the fire (height fade times bottom-centre spread).
engine::Image fireMask(const engine::Rect& extent);

}  // namespace flame
}  // namespace ostrela::effects
