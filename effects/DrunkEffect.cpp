#include "effects/DrunkEffect.h"

#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Schedule.h"

#include <algorithm>
#include <cmath>

namespace ostrela::effects {

using engine::Image;
using engine::Rect;
namespace filters = engine::filters;
using engine::resampled;

// ---- Drunk Mode ----

namespace drunk {

namespace {
Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}
}  // namespace

Image grade(const Image& image) {
    Image g = filters::colorControls(image, 0.75, 0.02, 0.88);
    return filters::colorMatrixWithBias(g, {1.1, 0, 0, 0}, {0, 1.0, 0, 0}, {0, 0, 0.85, 0}, {0, 0, 0, 1},
                                        {0.02, 0.01, -0.02, 0});
}

Shake shake(double t) {
    return {std::sin(9 * t) * 6 + std::sin(13.7 * t) * 4 + 16 * std::sin(0.5 * t),
            std::cos(8.3 * t) * 5 + std::sin(11.1 * t) * 3 + 12 * std::cos(0.6 * t),
            std::sin(0.7 * t) * 0.13962634015954636, 1.14 + std::sin(0.9 * t) * 0.02};
}

double blurSigma(double t) { return (std::sin(0.5 * t) * 0.5 + 0.5) * 3.5 + 0.8; }

engine::Affine shakeTransform(double t, double cx, double cy) {
    const Shake s = shake(t);
    const double c = std::cos(s.angle), n = std::sin(s.angle);
    return engine::Affine::translation(s.dx - cx, s.dy - cy)
        .then(engine::Affine::scale(s.zoom, s.zoom))
        .then(engine::Affine{c, n, -n, c, 0, 0})
        .then(engine::Affine::translation(cx, cy));
}

}  // namespace drunk

int DrunkMode::historyDepth() const {
    return int(std::count_if(trails_.begin(), trails_.end(), [](const Image& i) { return !i.isNull(); }));
}

size_t DrunkMode::historyBytes() const {
    size_t n = 0;
    for (const Image& trail : trails_) n += engine::storedBytes(trail);
    return n;
}

Image DrunkMode::render(const Image& image, const FrameContext& frame) {
    using namespace drunk;
    const double t = frame.t;
    const Rect E = image.extent();
    // The graded picture is read by the ghost's blur, as the background and, over the next three
    // frames, as a trail: evaluate it once and keep its pixels, with the transparent margin the
    // ghost's blur reads around it (the ghost moves by 22 px at most), so that blur reads it in place.
    const Image graded = engine::materializeForBlur(grade(image), 5.0, 24);

    const double gx = std::sin(1.6 * t) * 22, gy = std::sin(1.1 * t) * 10;
    const Image blurred = graded.gaussianBlur(5.0);
    const Image moved = blurred.translated(gx, gy).cropped(E);
    auto& h = trails_;
    const double alphas[3] = {0.45, 0.3, 0.18};

    // The ghost at 55 % over the graded picture, then the trails over that; the engine makes
    // the overs one pass, reading the ghost's move from its blur and the rest where they lie.
    Image acc = alphaScaled(moved, 0.55).composited(graded).cropped(E);
    for (int i = 0; i < 3; ++i)
        if (!h[size_t(i)].isNull()) acc = alphaScaled(h[size_t(i)], alphas[i]).composited(acc);

    const double cx = E.x + E.w / 2, cy = E.y + E.h / 2;
    const Image out = resampled(acc, shakeTransform(t, cx, cy), E);
    // The shake reads acc made once, so the oldest trail can go before this frame's is kept in
    // its buffer. A trail weighs 45 % at most: half precision moves the frame by far less than a
    // level, and keeps three trails in the memory of one and a half.
    acc = Image();
    h[2] = h[1];
    h[1] = h[0];
    h[0] = engine::keptInHalves(graded);
    // The breathing blur is a soft layer: from sigma 2 on the engine makes it on the half grid.
    const Image result = out.softBlur(blurSigma(t)).cropped(E);
    // A picture shaken wholly out of its frame (only possible for tiny ones) is a transparent
    // frame, still of the input's extent.
    if (result.extent().isEmpty() && !E.isEmpty()) return Image::solid(engine::Color{}).cropped(E);
    return result;
}

}  // namespace ostrela::effects
