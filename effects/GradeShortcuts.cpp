// A per-pixel wrapper that skips a common value.
#include "effects/GradeShortcuts.h"

#include <cstring>

namespace ostrela::effects::shortcuts {

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
