// Speed shortcuts for the colour-grade looks: tables baked from the standard filters, a band
// cache for chains read several times per frame, a blur on a half grid and a per-pixel wrapper
// that skips a common value.
#include "effects/GradeShortcuts.h"
#include "effects/GradeKernels.h"

#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace ostrela::effects::shortcuts {

using engine::Image;
using engine::IRect;
using engine::Rect;
namespace filters = engine::filters;

// ---- Tables for tone steps inside a chain ----
//
// A tone step on float pixels (no 8-bit source to read) that is either per channel, or sees a
// grey picture, is a function of one linear value; it is baked over a ramp of linear values
// spaced evenly in their square root (fine where the sRGB curve is steep) and interpolated.

namespace {

constexpr int kRampSize = 4096;

class LinearRampNode final : public engine::Node {
public:
    Rect extent() const override { return {0, 0, double(kRampSize), 1}; }
    void render(engine::TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i) {
                float* o = out + (size_t(j) * r.w + i) * 4;
                const int x = r.x + i;
                const bool inside = r.y + j == 0 && x >= 0 && x < kRampSize;
                const float u = inside ? float(x) / (kRampSize - 1) : 0.0f;
                o[0] = o[1] = o[2] = u * u;
                o[3] = inside ? 1.0f : 0.0f;
            }
    }
};

class RampTableOp final : public engine::PixelOp {
public:
    // perChannel: channel c of the result is the table's channel c at that channel's value.
    // Otherwise the picture is grey and red alone picks the whole entry.
    RampTableOp(Chain chain, bool perChannel) : perChannel_(perChannel) {
        engine::Renderer renderer(1, 1);
        table_ = renderer.renderFloat(chain(Image(std::make_shared<LinearRampNode>())), {0, 0, kRampSize, 1});
        table_.resize(size_t(kRampSize + 1) * 4);
        for (int c = 0; c < 4; ++c) table_[size_t(kRampSize) * 4 + c] = table_[size_t(kRampSize - 1) * 4 + c];
        // Values up to the last ramp entry whose colour, and the next one's, are still black
        // give black (a threshold such as brightness −0.4 keeps most pixels there).
        int k = 0;
        while (k + 1 < kRampSize && table_[size_t(k + 1) * 4] == 0 && table_[size_t(k + 1) * 4 + 1] == 0 &&
               table_[size_t(k + 1) * 4 + 2] == 0)
            ++k;
        const float u = float(k) / (kRampSize - 1);
        blackBelow_ = table_[0] == 0 && table_[1] == 0 && table_[2] == 0 ? u * u : -1.0f;
    }
    void apply(float* p, int n) const override {
        grade::rampTableRow(p, n, table_.data(), kRampSize - 1, perChannel_, blackBelow_);
    }

private:
    bool perChannel_;
    std::vector<float> table_;
    float blackBelow_ = -1.0f;
};

}  // namespace

engine::PixelOpPtr rampTableOp(Chain chain, bool perChannel) { return std::make_shared<RampTableOp>(chain, perChannel); }




namespace {

// Applies a per-pixel sequence, except to pixels equal to one common value, which get that
// value's precomputed result: the flakes are opaque black nearly everywhere.
class SkipCommonOp final : public engine::PixelOp {
public:
    SkipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common) : ops_(std::move(ops)), common_(common) {
        result_ = common;
        for (const auto& op : ops_) op->apply(result_.data(), 1);
    }
    void apply(float* p, int n) const override {
        // The other pixels are gathered, run through the sequence in one go and put back.
        thread_local std::vector<float> scratch;
        thread_local std::vector<int> where;
        scratch.resize(size_t(n) * 4);
        where.resize(size_t(n));
        const float* c = common_.data();
        int m = 0;
        for (int i = 0; i < n; ++i) {
            float* v = p + 4 * i;
            if (v[0] == c[0] && v[1] == c[1] && v[2] == c[2] && v[3] == c[3]) {
                std::memcpy(v, result_.data(), 4 * sizeof(float));
            } else {
                std::memcpy(scratch.data() + 4 * m, v, 4 * sizeof(float));
                where[size_t(m++)] = i;
            }
        }
        if (m == 0) return;
        for (const auto& op : ops_) op->apply(scratch.data(), m);
        for (int k = 0; k < m; ++k) std::memcpy(p + 4 * where[size_t(k)], scratch.data() + 4 * k, 4 * sizeof(float));
    }

private:
    std::vector<engine::PixelOpPtr> ops_;
    std::array<float, 4> common_, result_;
};

}  // namespace

engine::PixelOpPtr skipCommonOp(std::vector<engine::PixelOpPtr> ops, std::array<float, 4> common) {
    return std::make_shared<SkipCommonOp>(std::move(ops), common);
}


}  // namespace ostrela::effects::shortcuts
