// Separable Gaussian blur over tiles. Both passes run over contiguous floats; symmetric taps are
// paired to halve the multiplies. The inner loops are the vector kernels of BlurKernels.cpp.
#include "pipeline/engine/Kernels.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ostrela::engine {

namespace {

// out (outW × rows) from src ((outW + 2r) × rows, rows srcStride floats apart).
void horizontalPass(const float* src, size_t srcStride, int outW, int rows, int r, const float* w, float* out) {
    const size_t n = size_t(outW) * 4;
    for (int y = 0; y < rows; ++y) kernels::symmetricTaps(src + y * srcStride + 4 * r, 4, r, w, n, out + y * n);
}

// out (W × outRows, rows outStride floats apart) from src (W × (outRows + 2r)).
void verticalPass(const float* src, int W, int outRows, int r, const float* w, float* out, size_t outStride) {
    const size_t n = size_t(W) * 4;
    for (int y = 0; y < outRows; ++y) kernels::symmetricTaps(src + size_t(y + r) * n, n, r, w, n, out + size_t(y) * outStride);
}

// Both passes, out (outW × outRows) from src ((outW + 2r) × (outRows + 2r), rows srcStride apart),
// in strips of columns so the intermediate rows of a strip stay in the core's cache for the
// vertical pass (a whole tile's worth of them does not fit).
void separable(const float* src, size_t srcStride, int outW, int outRows, int r, const float* w, float* tmp, float* out) {
    constexpr int kStrip = 128;
    for (int x0 = 0; x0 < outW; x0 += kStrip) {
        const int sw = std::min(kStrip, outW - x0);
        horizontalPass(src + size_t(x0) * 4, srcStride, sw, outRows + 2 * r, r, w, tmp);
        verticalPass(tmp, sw, outRows, r, w, out + size_t(x0) * 4, size_t(outW) * 4);
    }
}

}  // namespace

double BlurNode::gridSigma(double sigma, int k) {
    if (k <= 1) return sigma;
    // Box reduction adds (k²−1)/12 and bilinear expansion about k²/6 of variance.
    const double k2 = double(k) * k;
    const double v = sigma * sigma - (k2 - 1) / 12.0 - k2 / 6.0;
    return std::sqrt(std::max(v, 0.25 * k2)) / k;
}

BlurNode::Grid BlurNode::gridRange(int lo, int hi, int k) {
    return {int(std::floor((lo + 0.5) / k - 0.5)), int(std::floor((hi - 0.5) / k - 0.5)) + 1};
}

BlurNode::BlurNode(NodePtr in, double sigma, bool soft)
    : in_(std::move(in)), sigma_(sigma), sparseReads_(!straightforwardChains()) {
    k_ = reductionFor(sigma, soft);
    const double s = gridSigma(sigma, k_);
    radius_ = gridRadius(s);
    weights_.resize(radius_ + 1);
    double sum = 0;
    for (int i = 0; i <= radius_; ++i) {
        double g = std::exp(-0.5 * i * i / (s * s));
        weights_[i] = float(g);
        sum += i == 0 ? g : 2 * g;
    }
    for (float& g : weights_) g = float(g / sum);
}

Rect BlurNode::extent() const {
    double m = k_ == 1 ? radius_ : double(k_) * (radius_ + 2);
    return in_->extent().insetBy(-m, -m);
}

IRect BlurNode::roi(int, const IRect& d) const {
    if (k_ == 1) return d.grown(radius_, radius_);
    Grid gx = gridFor(d.x, d.maxX()), gy = gridFor(d.y, d.maxY());
    int x0 = k_ * (gx.u0 - radius_), x1 = k_ * (gx.u1 + radius_ + 1);
    int y0 = k_ * (gy.u0 - radius_), y1 = k_ * (gy.u1 + radius_ + 1);
    return {x0, y0, x1 - x0, y1 - y0};
}

namespace detail {

GridExpansion::GridExpansion(TileContext& ctx, int k, int gridX, int gridW, int x0, int n) : nu_(gridW), n_(n) {
    cx_ = reinterpret_cast<int*>(ctx.alloc(size_t(n) * 2));
    cw_ = ctx.alloc(size_t(n));
    regular_ = k == 2 && gridW > 1;
    for (int i = 0; i < n; ++i) {
        const double f = (x0 + i + 0.5) / k - 0.5, fl = std::floor(f);
        cx_[i] = std::clamp(int(fl) - gridX, 0, std::max(gridW - 2, 0));
        cw_[i] = float(f - fl);
        regular_ = regular_ && cx_[i] == int(fl) - gridX;
    }
    odd_ = (x0 & 1) != 0;
    mix_ = ctx.alloc(size_t(gridW) * 4 + 8);
}

void GridExpansion::row(const float* l0, const float* l1, float wy, float* o) const {
    kernels::expandRow(l0, l1, nu_, wy, cx_, cw_, n_, regular_, odd_, mix_, o);
}

}  // namespace detail

void BlurNode::render(TileContext& ctx, const IRect& r, float* out) const {
    const IRect sr = roi(0, r);
    if (k_ == 1 && sparseReads_) {
        SparsePixels sp;
        if (in_->sparse(ctx, sr, sp)) return renderSparse(ctx, r, sp, out);
    }
    // A stored input is read where it lies.
    IRect sb;
    if (const float* p = in_->storedPixels(&sb); p && sb.contains(sr))
        return renderFrom(ctx, r, p + (size_t(sr.y - sb.y) * sb.w + (sr.x - sb.x)) * 4, size_t(sb.w) * 4, out);
    renderFrom(ctx, r, ctx.pull(*in_, sr), size_t(sr.w) * 4, out);
}

void BlurNode::renderSparse(TileContext& ctx, const IRect& r, const SparsePixels& in, float* out) const {
    const int R = radius_;
    const float* w = weights_.data();
    // The common value's share at each column and row: the kernel's weight inside the region.
    auto share = [&](int p, int lo, int hi) {
        float s = 0;
        for (int i = -R; i <= R; ++i)
            if (p + i >= lo && p + i < hi) s += w[std::abs(i)];
        return s;
    };
    float* wx = ctx.alloc(size_t(r.w));
    for (int i = 0; i < r.w; ++i) wx[i] = share(r.x + i, in.region.x, in.region.maxX());
    for (int j = 0; j < r.h; ++j) {
        const float wy = share(r.y + j, in.region.y, in.region.maxY());
        float* o = out + size_t(j) * r.w * 4;
        for (int i = 0; i < r.w; ++i)
            for (int c = 0; c < 4; ++c) o[4 * i + c] = in.common[c] * (wx[i] * wy);
    }
    for (const SparsePixels::Point& p : in.points) {
        const float d[4] = {p.v[0] - in.common[0], p.v[1] - in.common[1], p.v[2] - in.common[2], p.v[3] - in.common[3]};
        const int y0 = std::max(p.y - R, r.y), y1 = std::min(p.y + R, r.maxY() - 1);
        const int x0 = std::max(p.x - R, r.x), x1 = std::min(p.x + R, r.maxX() - 1);
        for (int y = y0; y <= y1; ++y) {
            const float ky = w[std::abs(y - p.y)];
            float* o = out + (size_t(y - r.y) * r.w + (x0 - r.x)) * 4;
            for (int x = x0; x <= x1; ++x, o += 4) {
                const float k = ky * w[std::abs(x - p.x)];
                for (int c = 0; c < 4; ++c) o[c] += d[c] * k;
            }
        }
    }
}

void BlurNode::renderFrom(TileContext& ctx, const IRect& r, const float* src, size_t stride, float* out) const {
    const IRect sr = roi(0, r);
    const float* w = weights_.data();
    const int R = radius_;
    if (k_ == 1) {
        float* tmp = ctx.alloc(size_t(std::min(r.w, 128)) * sr.h * 4);
        separable(src, stride, r.w, r.h, R, w, tmp, out);
        return;
    }
    const int k = k_;
    Grid gx = gridFor(r.x, r.maxX()), gy = gridFor(r.y, r.maxY());
    const int nu = gx.u1 - gx.u0 + 1, nv = gy.u1 - gy.u0 + 1;
    const int NX = nu + 2 * R, NY = nv + 2 * R;
    // Box reduction onto the grid anchored at multiples of k.
    float* down = ctx.alloc(size_t(NX) * NY * 4);
    const float inv = 1.0f / float(k * k);
    for (int v = 0; v < NY; ++v) {
        float* d = down + size_t(v) * NX * 4;
        if (k == 2) {
            const float* s0 = src + size_t(2 * v) * stride;
            kernels::boxRow2(s0, s0 + stride, NX, d);
            continue;
        }
        std::memset(d, 0, size_t(NX) * 4 * sizeof(float));
        for (int yy = 0; yy < k; ++yy) {
            const float* s = src + size_t(v * k + yy) * stride;
            for (int u = 0; u < NX; ++u)
                for (int xx = 0; xx < k; ++xx)
                    for (int c = 0; c < 4; ++c) d[4 * u + c] += s[(u * k + xx) * 4 + c];
        }
        for (size_t j = 0; j < size_t(NX) * 4; ++j) d[j] *= inv;
    }
    float* tmp = ctx.alloc(size_t(std::min(nu, 128)) * NY * 4);
    float* low = ctx.alloc(size_t(nu) * nv * 4);
    separable(down, size_t(NX) * 4, nu, nv, R, w, tmp, low);
    // Bilinear expansion back to full resolution.
    const detail::GridExpansion expand(ctx, k, gx.u0, nu, r.x, r.w);
    for (int j = 0; j < r.h; ++j) {
        double f = (r.y + j + 0.5) / k - 0.5;
        double fl = std::floor(f);
        int v0 = std::clamp(int(fl) - gy.u0, 0, std::max(nv - 2, 0));
        float wy = float(f - fl);
        const float* l0 = low + size_t(v0) * nu * 4;
        const float* l1 = l0 + (nv > 1 ? size_t(nu) * 4 : 0);
        expand.row(l0, l1, wy, out + size_t(j) * r.w * 4);
    }
}

}  // namespace ostrela::engine
