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
