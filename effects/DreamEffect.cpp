#include "effects/DreamEffect.h"

#include "pipeline/engine/Schedule.h"
#include "effects/Kernels.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Renderer.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ostrela::effects {

using engine::Color;
using engine::Image;
using engine::Rect;
using engine::materialize;
using engine::PixelView;
using engine::pixelsOf;
using engine::resampled;
namespace filters = engine::filters;

namespace dream {

const std::array<Orb, 10>& orbs() {
    static const std::array<Orb, 10> table{{
        {0.09, 0.07, 0.0, 0.11, 1.0, 0.92, 0.85, 0.34},
        {0.06, 0.1, 2.4, 0.09, 0.85, 0.88, 1.0, 0.3},
        {0.11, 0.05, 4.8, 0.07, 1.0, 0.8, 0.95, 0.32},
        {0.08, 0.12, 1.5, 0.06, 0.85, 1.0, 0.95, 0.26},
        {0.13, 0.08, 3.6, 0.045, 1.0, 0.95, 0.7, 0.28},
        {0.07, 0.14, 0.9, 0.08, 0.95, 0.85, 1.0, 0.28},
        {0.14, 0.06, 5.6, 0.055, 0.8, 0.95, 1.0, 0.26},
        {0.05, 0.09, 3.1, 0.1, 1.0, 0.9, 0.8, 0.3},
        {0.1, 0.13, 6.3, 0.04, 0.9, 1.0, 0.88, 0.24},
        {0.12, 0.04, 1.9, 0.065, 1.0, 0.88, 0.98, 0.27},
    }};
    return table;
}

double hueAngle(double t) { return std::sin(0.12 * t) * 0.9599310885968813; }
double fringeOffset(double t) { return std::sin(0.9 * t) + 2.0; }
double burstPulse(double t) { return std::sin(0.22 * t) * 0.4 + 0.6; }
double burstScale(int k, double t) { return 1 + k * 0.075 * burstPulse(t); }

Drift drift(double t) {
    return {std::sin(0.15 * t) * 4, std::cos(0.12 * t) * 3, 1.045 + std::sin(0.2 * t) * 0.015,
            std::sin(0.08 * t) * 0.010471975511965976};
}

engine::Affine driftTransform(double t, double midX, double midY) {
    const Drift d = drift(t);
    const double c = std::cos(d.angle), s = std::sin(d.angle);
    // Appended in order: translate(mid), rotate, scale, translate(−mid), translate(d); the last
    // appended acts first on a point.
    return engine::Affine::translation(d.dx - midX, d.dy - midY)
        .then(engine::Affine::scale(d.zoom, d.zoom))
        .then(engine::Affine{c, s, -s, c, 0, 0})
        .then(engine::Affine::translation(midX, midY));
}

engine::Point orbCentre(int i, const Rect& E, double t) {
    const Orb& o = orbs()[size_t(i)];
    return {E.x + E.w / 2 + std::sin(o.sx * t + o.ph) * E.w * 0.32, E.y + E.h / 2 + std::cos(o.sy * t + o.ph) * E.h * 0.28};
}

namespace {
struct Sparkle {
    double cx, cy, r, alpha;  // in the bitmap: x right, y down
};
std::vector<Sparkle> sparkleCircles(double W, double H, double t) {
    std::vector<Sparkle> out;
    for (int i = 0; i < 14; ++i) {
        const double x = i * 47.3;
        const double b = std::sin(t + x) * 0.5 + 0.5;
        if (!(b > 0.35)) continue;
        const double d = std::sin(3.1 * x) * 1.5 + 2.5;
        const double cx = (std::sin(x) * 0.5 + 0.5) * W, cy = (std::cos(1.7 * x) * 0.5 + 0.5) * H;
        out.push_back({cx, H - cy, d / 2, (b - 0.35) / 0.65 * 0.55});  // y up in the frame, y down in the bitmap
    }
    return out;
}
}  // namespace

std::vector<SparkleSquare> sparkles(int wp, int hp, double t) {
    std::vector<SparkleSquare> out;
    for (const Sparkle& s : sparkleCircles(std::max(wp, 1), std::max(hp, 1), t)) {
        // Two pixels spare about the disc for the antialiased edge.
        const int x0 = int(std::floor(s.cx - s.r)) - 2, y0 = int(std::floor(s.cy - s.r)) - 2;
        const int side = int(std::ceil(2 * s.r)) + 5;
        QImage square(side, side, QImage::Format_ARGB32_Premultiplied);
        if (square.isNull()) continue;
        square.fill(Qt::transparent);
        QPainter p(&square);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgbF(1.0f, 0.98f, 0.9f, float(s.alpha)));
        p.drawEllipse(QPointF(s.cx - x0, s.cy - y0), s.r, s.r);
        p.end();
        out.push_back({std::move(square), x0, y0});
    }
    return out;
}

namespace {
Image alphaScaled(const Image& in, double alpha) {
    return filters::colorMatrixWithBias(in, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, alpha}, {0, 0, 0, 0});
}

Image scaledAbout(const Image& in, double s, double cx, double cy) {
    return in.transformed(engine::Affine::translation(-cx, -cy)
                              .then(engine::Affine::scale(s, s))
                              .then(engine::Affine::translation(cx, cy)));
}
}  // namespace

}  // namespace dream

size_t DreamSequence::echoBytes() const { return engine::storedBytes(echo_); }

Image DreamSequence::render(const Image& image, const FrameContext& frame) {
    using namespace dream;
    const double t = frame.t;
    const Rect E = image.extent();
    const double W = E.w, H = E.h, midX = E.x + W / 2, midY = E.y + H / 2;

    // Each picture of steps 1–8 is let go as soon as the next one is made from it, so its buffer
    // is back in the pool for the next.
    Image Cp;
    {
        // 1. Ripple. Both sines of the kernel repeat every 20π seconds, so the time is handed over
        // reduced by that period: single precision cannot hold seconds since 2001 finely enough to
        // animate (it steps by a minute), while the reduced value gives the same formula exactly.
        Image picture = image;
        {
            const float time = float(std::fmod(t, 20 * M_PI));
            const Image rippled = applyWarp(image, std::make_shared<DreamRippleKernel>(9.0f, time));
            if (!rippled.isNull()) picture = rippled.cropped(E);
        }

        // 2–4. Grade, gamma, hue drift.
        Image G = filters::colorControls(picture, 0.92, 0.015, 0.88);
        G = filters::hueAdjust(filters::gammaAdjust(G, 0.9), hueAngle(t));
        // G is read by the glow's blur and as its background: evaluate it once, with the half grid
        // the glow is made from. Each tile decodes the camera rows the ripple reaches beyond it too:
        // 90-row tiles (eight for 720 rows) keep that extra a fifth of the frame.
        G = engine::materializeWithHalfGrid(G, 90);

        // 5. Glow: a soft layer, made on the half grid from G's.
        const Image glow = engine::softLayer(alphaScaled(filters::colorControls(G.gaussianBlur(5.5).cropped(E), 1.0, 0.06, 1.0), 0.32));
        Image x = engine::materializeWithHalfGrid(glow.composited(G).cropped(E));
        G = picture = Image();

        // 6. Bloom.
        Image B = materialize(filters::bloom(x, 6.0, 0.45).cropped(E));
        x = Image();

        // 7. Colour fringe.
        Image C;
        {
            const double o = fringeOffset(t);
            const Image red =
                filters::colorMatrixWithBias(B, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}).translated(o, 0);
            const Image blue =
                filters::colorMatrixWithBias(B, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}).translated(-o, 0);
            C = materialize(filters::screenBlend(filters::screenBlend(red, blue), B).cropped(E));
        }
        B = Image();

        // 8. Echo of the previous frame, then remember this one (without its echo).
        Cp = echo_.isNull() ? C : engine::materializeWithHalfGrid(alphaScaled(echo_, 0.16).composited(C).cropped(E));
        // It weighs 16 %: kept at half precision, it moves the frame by far less than a level. The
        // old echo is let go first, so the new one is made in its buffer.
        echo_ = Image();
        echo_ = engine::keptInHalves(C);
        C = Image();
    }

    // 9. Zoom burst: nine copies of C′ scaled about the middle, each screened at 24 %. Screening
    // is associative, so the copies screened together are one layer screened over C′; it is a
    // soft layer, which the engine may make on the half grid.
    Image burst;
    for (int k = 1; k <= 9; ++k)
        burst = filters::screenBlend(alphaScaled(scaledAbout(Cp, burstScale(k, t), midX, midY).cropped(E), 0.24), burst);
    Image acc = filters::screenBlend(engine::softLayer(burst), Cp).cropped(E);

    // 10. Drift.
    acc = resampled(acc, driftTransform(t, midX, midY), E);

    // 11. Orbs. Beyond its outer radius an orb is fully transparent and screening it changes
    // nothing, so each is evaluated over its bounding square only.
    // 12. Warm centre light.
    const engine::Point warm{midX + std::sin(0.1 * t) * 24, midY + std::cos(0.09 * t) * 18};
    const Color warmInner = Color::fromSRGB(1.0, 0.97, 0.9, 0.09), warmOuter = Color::fromSRGB(1.0, 0.97, 0.9, 0);
    for (int i = 0; i < 10; ++i) {
        const Orb& orb = orbs()[size_t(i)];
        const engine::Point c = orbCentre(i, E, t);
        const double r1 = orb.size * W;
        Image g = filters::radialGradient(c, 0.2 * r1, r1, Color::fromSRGB(orb.r, orb.g, orb.b, orb.a),
                                          Color::fromSRGB(orb.r, orb.g, orb.b, 0));
        if (g.isNull()) continue;
        g = g.cropped(E).cropped({c.x - r1 - 1, c.y - r1 - 1, 2 * r1 + 2, 2 * r1 + 2});
        acc = filters::screenBlend(g, acc).cropped(E);
    }
    Image g = filters::radialGradient(warm, 0.1 * W, 0.75 * W, warmInner, warmOuter);
    if (!g.isNull()) acc = filters::screenBlend(g.cropped(E), acc).cropped(E);

    // 13. Vignette.
    acc = filters::vignette(acc, 0.55, 1.9);

    // 14. Sparkles.
    const int wp = std::max(1, int(std::lround(W))), hp = std::max(1, int(std::lround(H)));
    // Each disc is put over the picture on its own square: the rest of the frame has none.
    for (const SparkleSquare& sq : sparkles(wp, hp, t)) {
        // The bitmap's top row lies at the extent's top.
        const double y = E.y + hp - sq.y - sq.image.height();
        acc = Image::fromQImage(sq.image).translated(E.x + sq.x, y).cropped(E).composited(acc);
    }
    return acc.cropped(E);
}

}  // namespace ostrela::effects
