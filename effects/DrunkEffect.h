#pragma once
// Drunk Mode: a warm, washed picture with a swaying double image, trails of the three previous
// frames and a rolling, zooming shake under a breathing blur. The one look besides Dream Sequence
// that remembers earlier frames.
#include "effects/Effects.h"
#include "pipeline/engine/Image.h"

#include <array>

namespace ostrela::effects {

// The look with its trail history: three slots, newest first, each the graded picture of an
// earlier frame of this object, kept at half precision. They start empty and are never cleared,
// so a look picked again later resumes with the trails of its previous use.
class DrunkMode final : public Effect {
public:
    engine::Image render(const engine::Image& image, const FrameContext& frame) override;
    engine::Image render(const engine::Image& image, double t) { return render(image, FrameContext{t, VideoEffect::none, {}}); }
    // An empty slot is a null image.
    const std::array<engine::Image, 3>& history() const { return trails_; }
    // Slots filled.
    int historyDepth() const;
    // Bytes the trails' pixels take.
    size_t historyBytes() const;

private:
    std::array<engine::Image, 3> trails_;
};

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


}  // namespace drunk
}  // namespace ostrela::effects
