#include "effects/DreamKernels.h"

#include "effects/DreamLookKernels.h"
#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace ostrela::effects::dream {

namespace {

class WideGammaOp final : public engine::PixelOp {
public:
    // The gamma filter's own kernel: the same values as the plain chain.
    explicit WideGammaOp(float power) : power_(power) {}
    void apply(float* p, int n) const override { engine::kernels::gammaRow(p, n, power_); }

private:
    float power_;
};

}  // namespace

engine::PixelOpPtr wideGammaOp(float power) { return std::make_shared<WideGammaOp>(power); }

namespace {

constexpr int kCurveSteps = 16384;

}  // namespace

// A table of the curve and, per segment of the encoded range, a cubic fitted to it.
class GradeCurve {
public:
    explicit GradeCurve(double power) {
        for (int i = 0; i <= kCurveSteps; ++i) table[size_t(i)] = float(curveAt(double(i) / kCurveSteps, power));
        table[kCurveSteps + 1] = table[kCurveSteps];
        fitCubics(power);
    }
    kernels::GradeCurve view() const {
        return {table.data(), kCurveSteps, {cubic[0], cubic[1], cubic[2], cubic[3]}, tableInstead, loose};
    }

private:
    std::array<float, kCurveSteps + 2> table;
    alignas(64) float cubic[4][16];  // per segment: c0 + c1·t + c2·t² + c3·t³, t ∈ [0, 1)
    alignas(64) float tableInstead[16];  // non-zero for segments no cubic fits closely enough
    bool loose = false;

    static double curveAt(double e, double power) {
        const double lin = engine::color::srgbToLinear(e);
        return lin > 0 ? engine::color::linearToSRGB(std::pow(lin, power)) : 0.0;
    }
    // Segment s covers 2^(s/2 − 8) · (1 + (s mod 2) / 2) on by half that octave. Each cubic
    // meets the curve at four Chebyshev points of its segment; where the curve has a kink inside
    // one (sRGB's toe under some powers) and the cubic strays by more than 3e-5, the table serves.
    void fitCubics(double power) {
        for (int sgm = 0; sgm < 16; ++sgm) {
            const double lo = std::ldexp(1.0 + 0.5 * (sgm % 2), sgm / 2 - 8), w = std::ldexp(0.5, sgm / 2 - 8);
            double a[4][5];
            for (int i = 0; i < 4; ++i) {
                const double t = 0.5 - 0.5 * std::cos((2 * i + 1) * M_PI / 8);
                for (int k = 0; k < 4; ++k) a[i][k] = std::pow(t, k);
                a[i][4] = curveAt(lo + w * t, power);
            }
            for (int col = 0; col < 4; ++col)  // the nodes are distinct: no pivot vanishes
                for (int row = 0; row < 4; ++row) {
                    if (row == col) continue;
                    const double f = a[row][col] / a[col][col];
                    for (int k = col; k < 5; ++k) a[row][k] -= f * a[col][k];
                }
            for (int k = 0; k < 4; ++k) cubic[k][sgm] = float(a[k][4] / a[k][k]);
            double worst = 0;
            for (int q = 0; q <= 64; ++q) {
                const double t = q / 64.0;
                const double v = ((cubic[3][sgm] * t + cubic[2][sgm]) * t + cubic[1][sgm]) * t + cubic[0][sgm];
                worst = std::max(worst, std::abs(v - curveAt(lo + w * t, power)));
            }
            tableInstead[sgm] = worst > 3e-5 ? 1.0f : 0.0f;
            loose = loose || worst > 3e-5;
        }
    }
};

std::shared_ptr<const GradeCurve> bakeGradeCurve(double power) { return std::make_shared<GradeCurve>(power); }

namespace {

class GradeGammaHueOp final : public engine::PixelOp {
public:
    GradeGammaHueOp(double saturation, double brightness, double contrast, std::shared_ptr<const GradeCurve> curve, double angle)
        : curve_(std::move(curve)) {
        // The colour controls' matrix as the filter builds it.
        const float sat = float(saturation), c = float(contrast);
        const float w[3] = {engine::filters::kLumR, engine::filters::kLumG, engine::filters::kLumB};
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 3; ++col) grade_[row * 4 + col] = c * ((1.0f - sat) * w[col] + (row == col ? sat : 0.0f));
            grade_[row * 4 + 3] = float(0.5 * (1.0 - contrast) + brightness);
        }
        // The hue rotation about the grey axis, as the filter builds it.
        const double co = std::cos(angle), si = std::sin(angle);
        const double d = co + (1 - co) / 3.0, p = (1 - co) / 3.0 + si / std::sqrt(3.0), q = (1 - co) / 3.0 - si / std::sqrt(3.0);
        const double rows[3][3] = {{d, q, p}, {p, d, q}, {q, p, d}};
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col) hue_[row * 3 + col] = float(rows[row][col]);
    }
    void apply(float* p, int n) const override { kernels::gradeGammaHue(p, n, grade_, hue_, curve_->view()); }

private:
    float grade_[12];
    float hue_[9];
    std::shared_ptr<const GradeCurve> curve_;
};

}  // namespace

engine::PixelOpPtr gradeGammaHueOp(double saturation, double brightness, double contrast, std::shared_ptr<const GradeCurve> curve,
                                   double hueAngle) {
    if (!curve) return nullptr;
    return std::make_shared<GradeGammaHueOp>(saturation, brightness, contrast, std::move(curve), hueAngle);
}

engine::PixelOpPtr gradeGammaHueOp(double saturation, double brightness, double contrast, double power, double hueAngle) {
    return gradeGammaHueOp(saturation, brightness, contrast, bakeGradeCurve(power), hueAngle);
}

namespace {

class LightsNode final : public engine::Node {
public:
    LightsNode(engine::NodePtr under, std::vector<Light> lights, const engine::Rect& extent)
        : under_(std::move(under)), lights_(std::move(lights)), extent_(extent) {}
    engine::Rect extent() const override { return extent_; }
    int inputCount() const override { return 1; }
    const engine::Node* input(int) const override { return under_.get(); }
    void render(engine::TileContext& ctx, const engine::IRect& r, float* out) const override {
        ctx.renderInto(*under_, r, out);
        for (const Light& l : lights_) {
            // Pixels whose centres can lie within r1 (a pixel of margin, as the orbs' crop keeps).
            const int x0 = std::max(r.x, int(std::floor(l.cx - l.r1 - 1))), x1 = std::min(r.maxX(), int(std::ceil(l.cx + l.r1 + 1)));
            const int y0 = std::max(r.y, int(std::floor(l.cy - l.r1 - 1))), y1 = std::min(r.maxY(), int(std::ceil(l.cy + l.r1 + 1)));
            if (x0 >= x1 || y0 >= y1) continue;
            const double span = l.r1 - l.r0;
            const float inv = span != 0 ? float(1.0 / span) : 0.0f;
            const float r0 = float(l.r0);
            const int n = x1 - x0;
            for (int y = y0; y < y1; ++y) {
                const float dy = float(y + 0.5 - l.cy);
                const float dy2 = dy * dy;
                float* o = out + (size_t(y - r.y) * r.w + (x0 - r.x)) * 4;
                if (span != 0) {
                    kernels::lightRow(o, n, float(x0 + 0.5 - l.cx), dy2, r0, inv, l.inner.data(), l.outer.data());
                    continue;
                }
                // A hard edge: inner colour within r0, outer beyond.
                for (int i = 0; i < n; ++i) {
                    const float dx = float(x0 + i + 0.5 - l.cx);
                    const std::array<float, 4>& g = std::sqrt(dx * dx + dy2) < r0 ? l.inner : l.outer;
                    float* b = o + 4 * i;
                    for (int c = 0; c < 4; ++c) b[c] = (g[c] + b[c]) - g[c] * b[c];
                }
            }
        }
        engine::detail::clearOutside(out, r, extent_);
    }

private:
    engine::NodePtr under_;
    std::vector<Light> lights_;
    engine::Rect extent_;
};

}  // namespace

engine::Image screenLights(const engine::Image& under, std::vector<Light> lights, const engine::Rect& extent) {
    if (under.isNull()) return under;
    return engine::Image(std::make_shared<LightsNode>(under.node(), std::move(lights), extent));
}

}  // namespace ostrela::effects::dream
