#pragma once
// Dream Sequence: a soft, glowing flashback look with a ripple, hue drift, glow and bloom, a colour
// fringe, a one-frame echo, a zoom burst, a drifting camera, floating light orbs, a warm centre
// light, a vignette and twinkling sparkles. Keeps one picture between frames.
#include "effects/Effects.h"
#include "pipeline/engine/Image.h"

#include <QImage>

#include <array>
#include <vector>

namespace ostrela::effects {

// The look with its echo slot: the previous frame's fringed picture (step 7) of this object, a
// null image until its first frame, kept at half precision; never cleared, so a look picked again
// later resumes with the last frame of its previous use.
class DreamSequence final : public Effect {
public:
    engine::Image render(const engine::Image& image, const FrameContext& frame) override;
    engine::Image render(const engine::Image& image, double t) { return render(image, FrameContext{t, VideoEffect::none, {}}); }
    engine::Image echo() const { return echo_; }
    // Bytes the echo's pixels take.
    size_t echoBytes() const;

private:
    engine::Image echo_;
};

namespace dream {

struct Orb {
    double sx, sy, ph, size;
    double r, g, b, a;
};
const std::array<Orb, 10>& orbs();

double hueAngle(double t);
double fringeOffset(double t);
double burstPulse(double t);
// Scale of burst copy k = 1 … 9.
double burstScale(int k, double t);
struct Drift {
    double dx, dy, zoom, angle;
};
Drift drift(double t);
engine::Affine driftTransform(double t, double midX, double midY);
// Centre of orb i for an extent.
engine::Point orbCentre(int i, const engine::Rect& extent, double t);

// The sparkles of a frame of wp × hp pixels, each disc drawn on a square of its own whose top left
// corner lies at (x, y) in the frame's bitmap (top row first); the frame is transparent elsewhere.
struct SparkleSquare {
    QImage image;
    int x, y;
};
std::vector<SparkleSquare> sparkles(int wp, int hp, double t);

}  // namespace dream
}  // namespace ostrela::effects
