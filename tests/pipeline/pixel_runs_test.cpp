// Runs of per-pixel nodes rendered as one row-by-row pass: the same pixels as node by node, on
// every vector target, for any tiling; stored pictures read where they lie.
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Image.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelRuns.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"
#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

using namespace ostrela;
using namespace ostrela::engine;

namespace {

QImage picture(int w, int h, int seed) {
    QImage q(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int a = (x * 7 + y * 3 + seed) % 5 == 0 ? 0 : (x + y + seed) % 3 == 0 ? 140 : 255;
            const int r = (x * 13 + seed * 31) % 256, g = (y * 17 + x) % 256, b = (x * y + seed) % 256;
            q.setPixel(x, y, qRgba(r * a / 255, g * a / 255, b * a / 255, a));
        }
    return q;
}

Image alphaScaled(const Image& im, double k) {
    return filters::colorMatrixWithBias(im, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, k}, {0, 0, 0, 0});
}

// Every kind of row node over every kind of leaf: stored pictures (one narrower than the frame,
// so it is read past its bounds), an 8-bit picture, a blur, noise, a gradient mask, a fractional
// translation; crops at fractional edges; a node read twice; a tone run.
Image mixedGraph(const Image& stored, const Image& storedNarrow) {
    const Image src = Image::fromQImage(picture(97, 61, 1));
    const Image blurred = src.gaussianBlur(2.5).cropped({0, 0, 97, 61});
    const Image moved = stored.translated(3.25, -1.5).cropped({0.5, 0, 96, 60.5});
    const Image mask = filters::linearGradient({0, 0}, {97, 61}, Color::fromSRGB(1, 1, 1, 0.9), Color::fromSRGB(1, 1, 1, 0));
    const Image toned = filters::colorControls(moved, 1.2, 0.05, 1.1);  // a tone run over a warp
    Image acc = alphaScaled(blurred, 0.55).composited(stored).cropped({0, 0, 97, 61});
    acc = filters::screenBlend(alphaScaled(storedNarrow, 0.3), acc);
    const Image twice = filters::multiplyComposite(toned, acc);  // read by two nodes below
    acc = filters::blendWithMask(filters::falseColor(twice, Color::fromSRGB(0.1, 0, 0, 1), Color::fromSRGB(1, 0.8, 0.3, 1)), twice, mask);
    acc = alphaScaled(filters::randomNoise().cropped({10, 5, 40.5, 30}), 0.2).composited(acc);
    acc = filters::screenBlend(twice.translated(-2, 1), acc);
    // Overs of pictures on one another, faded or not: one moved by a fraction, stored ones that
    // cover the frame (done in one pass) and one narrower than it (piece by piece where it
    // does not cover).
    acc = alphaScaled(stored, 0.3).composited(alphaScaled(stored, 0.45).composited(stored.translated(1.5, 0.5).composited(acc)));
    acc = alphaScaled(storedNarrow, 0.6).composited(alphaScaled(stored, 0.2).composited(acc));
    // Screens of faded copies scaled about a point, cropped between one another as a burst is
    // made (one pass inside every crop, piece by piece at their edges), over a bloom's scaled
    // screen and a fractional move.
    Image burst;
    for (int k = 0; k < 5; ++k) {
        const double sc = 1.0 + 0.07 * k;
        const Image copy = stored.transformed(Affine::translation(-48, -30).then(Affine::scale(sc, sc)).then(Affine::translation(48, 30)));
        const Rect between = k == 2 ? Rect{3.5, 4.5, 80, 50} : Rect{0.5, 0.5, 95, 60};  // a narrow crop in the middle
        burst = filters::screenBlend(alphaScaled(copy.cropped({2.0 + k, 1, 90.0 - k, 58.5}), 0.24), burst).cropped(between);
    }
    // Tone runs over pictures moved up or down by a fraction of a row: they mix the two rows
    // themselves (one with a colour gain after it, one faded after it).
    const Image lifted = filters::colorMatrixWithBias(filters::colorControls(stored.translated(0, 0.375), 1.0, -0.1, 1.6), {0.9, 0, 0, 0},
                                                      {0, 1.1, 0, 0}, {0, 0, 0.7, 0}, {0, 0, 0, 1}, {0, 0, 0, 0});
    const Image tinted = filters::colorControls(stored.translated(0, -2.625), 0.6, 0.02, 1.2);
    acc = filters::screenBlend(lifted, filters::screenBlend(alphaScaled(tinted, 0.5), acc));
    acc = filters::screenBlend(stored.translated(0.5, 0.25), filters::bloom(acc, 3.0, 0.4));
    acc = filters::screenBlend(burst, acc);
    return acc.cropped({1.5, 0.5, 94, 59});
}

std::vector<float> renderWith(const Image& im, const IRect& rect, int tileRows, bool fused) {
    Renderer r(2, tileRows);
    r.setFusedRuns(fused);
    return r.renderFloat(im, rect);
}

// Through the 8-bit path, whose tile buffers are reused: a white frame first leaves them dirty,
// so a pixel the pass forgets to write shows.
QImage bytesWith(const Image& im, const IRect& rect, int tileRows, bool fused) {
    Renderer r(2, tileRows);
    r.setFusedRuns(fused);
    const Image white = Image::solid(Color::fromSRGB(1, 1, 1, 1));
    r.renderQImage(filters::screenBlend(white, white).cropped({-50, -50, 300, 300}), rect);
    return r.renderQImage(im, rect);
}

// A stored picture that counts the copies made of it.
class CountingStore final : public Node {
public:
    // `hidden`: the same pixels, only ever rendered (a picture that is not stored).
    CountingStore(std::vector<float> pixels, const IRect& b, bool hidden = false)
        : pixels_(std::move(pixels)), b_(b), hidden_(hidden) {}
    Rect extent() const override { return {double(b_.x), double(b_.y), double(b_.w), double(b_.h)}; }
    const float* storedPixels(IRect* bounds) const override {
        *bounds = b_;
        return hidden_ ? nullptr : pixels_.data();
    }
    void render(TileContext&, const IRect& r, float* out) const override {
        ++copies;
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        const IRect in = r.intersected(b_);
        for (int j = 0; j < in.h; ++j)
            std::memcpy(out + (size_t(in.y - r.y + j) * r.w + (in.x - r.x)) * 4,
                        pixels_.data() + (size_t(in.y - b_.y + j) * b_.w + (in.x - b_.x)) * 4, size_t(in.w) * 16);
    }
    mutable std::atomic<int> copies{0};

private:
    std::vector<float> pixels_;
    IRect b_;
    bool hidden_;
};

}  // namespace

TEST(PixelRuns, FusedRunsGiveTheNodeByNodePixelsOnEveryTarget) {
    const Image stored = materialize(Image::fromQImage(picture(97, 61, 2)));
    const Image narrow = materialize(Image::fromQImage(picture(50, 40, 3)).translated(20, 10));
    ASSERT_TRUE(isMaterialized(stored));
    const Image im = mixedGraph(stored, narrow);

    FramePlan plan;
    planFrame(im.node().get(), plan, true);
    ASSERT_FALSE(plan.runs.empty());
    FramePlan none;
    planFrame(im.node().get(), none, false);
    EXPECT_TRUE(none.runs.empty());
    EXPECT_EQ(none.shared, plan.shared);

    test::forEachSimdTarget([&] {
        for (const IRect rect : {IRect{0, 0, 97, 61}, IRect{-3, 2, 101, 57}, IRect{5, -4, 33, 70}})
            for (const int tileRows : {64, 7}) {
                const std::vector<float> a = renderWith(im, rect, tileRows, false);
                const std::vector<float> b = renderWith(im, rect, tileRows, true);
                ASSERT_EQ(a.size(), b.size());
                size_t differing = 0;
                for (size_t i = 0; i < a.size(); ++i) differing += std::memcmp(&a[i], &b[i], sizeof(float)) != 0;
                EXPECT_EQ(differing, 0u) << "rect " << rect.x << "," << rect.y << " tile rows " << tileRows;
                const QImage qa = bytesWith(im, rect, tileRows, false), qb = bytesWith(im, rect, tileRows, true);
                EXPECT_TRUE(qa == qb);
            }
        // Stored: the run writes the stored picture past the caches, the same values.
        const Image kept = materialize(im);
        const PixelView v = pixelsOf(kept);
        ASSERT_TRUE(v);
        const std::vector<float> ref = renderWith(im, v.bounds, 64, false);
        EXPECT_EQ(0, std::memcmp(ref.data(), v.data, ref.size() * sizeof(float)));
        // Not a blank picture compared with itself.
        const std::vector<float> a = renderWith(im, {0, 0, 97, 61}, 64, true);
        int lit = 0;
        for (size_t i = 3; i < a.size(); i += 4) lit += a[i] > 0.1f;
        EXPECT_GT(lit, 97 * 61 / 2);
    });
}

TEST(PixelRuns, RunsStartWhereSomethingElseReadsARowNode) {
    const Image a = Image::fromQImage(picture(40, 30, 4));
    const Image b = Image::fromQImage(picture(40, 30, 5)).gaussianBlur(1.5);
    // One run: three row nodes over two leaves.
    const Image chain = alphaScaled(b, 0.5).composited(a).cropped({0, 0, 40, 30});
    FramePlan plan;
    planFrame(chain.node().get(), plan, true);
    ASSERT_EQ(plan.runs.size(), 1u);
    EXPECT_EQ(plan.runs[0].first, chain.node().get());
    EXPECT_EQ(plan.runs[0].second->inputCount(), 2);  // the blur and the picture
    EXPECT_EQ(&plan.standIn(*chain.node()), plan.runs[0].second.get());
    EXPECT_EQ(&plan.standIn(*a.node()), a.node().get());

    // A row node under a blur tops a run of its own; the blur is a leaf of the run above it.
    const Image inner = filters::screenBlend(alphaScaled(a, 0.4), b).cropped({0, 0, 40, 30});
    const Image outer = inner.gaussianBlur(2).composited(a).cropped({0, 0, 40, 30});
    planFrame(outer.node().get(), plan, true);
    ASSERT_EQ(plan.runs.size(), 2u);
    EXPECT_EQ(plan.runs[0].first, outer.node().get());
    EXPECT_EQ(plan.runs[1].first, inner.node().get());

    // A lone row node is no run, unless the run reads its inputs without buffers of the tile.
    const Image lone = alphaScaled(b, 0.5);
    planFrame(lone.node().get(), plan, true);
    EXPECT_TRUE(plan.runs.empty());
    const Image stored = materialize(a);
    const Image loneOverStored = filters::screenBlend(a.translated(0.5, 0), stored);
    planFrame(loneOverStored.node().get(), plan, true);
    ASSERT_EQ(plan.runs.size(), 1u);
    EXPECT_EQ(plan.runs[0].first, loneOverStored.node().get());
}

TEST(PixelRuns, StoredLeavesAreReadWhereTheyLie) {
    const IRect bounds{-4, -4, 48, 38};
    std::vector<float> px(size_t(bounds.w) * bounds.h * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = (i % 4 == 3) ? 0.75f : float(i % 97) / 97.0f * 0.75f;
    auto store = std::make_shared<CountingStore>(px, bounds);
    const Image trail(store);
    const Image base = Image::fromQImage(picture(40, 30, 6));
    const Image im = alphaScaled(trail, 0.45).composited(alphaScaled(trail, 0.3).composited(base)).cropped({0, 0, 40, 30});

    const std::vector<float> fused = renderWith(im, {0, 0, 40, 30}, 8, true);
    EXPECT_EQ(store->copies.load(), 0);
    const std::vector<float> plain = renderWith(im, {0, 0, 40, 30}, 8, false);
    EXPECT_GT(store->copies.load(), 0);
    EXPECT_EQ(0, std::memcmp(fused.data(), plain.data(), fused.size() * sizeof(float)));

    // Read beyond what is stored (as the background of a wider picture), it is copied,
    // transparent outside, as before.
    store->copies = 0;
    const Image wide = alphaScaled(base.translated(-10, 0), 0.5).composited(trail).cropped({-10, 0, 60, 30});
    const std::vector<float> w1 = renderWith(wide, {-10, 0, 60, 30}, 8, true);
    EXPECT_GT(store->copies.load(), 0);
    EXPECT_EQ(0, std::memcmp(w1.data(), renderWith(wide, {-10, 0, 60, 30}, 8, false).data(), w1.size() * sizeof(float)));

    // A lone screen over the stored picture reads it in place, as the background it carries.
    store->copies = 0;
    const Image screened = filters::screenBlend(base.translated(0.5, 0.25), trail).cropped({0, 0, 40, 30});
    const std::vector<float> s1 = renderWith(screened, {0, 0, 40, 30}, 8, true);
    EXPECT_EQ(store->copies.load(), 0);
    const std::vector<float> s2 = renderWith(screened, {0, 0, 40, 30}, 8, false);
    EXPECT_GT(store->copies.load(), 0);
    EXPECT_EQ(0, std::memcmp(s1.data(), s2.data(), s1.size() * sizeof(float)));

    // Scaled about a point and moved by a fraction (rows made a piece at a time), magnified and
    // shrunk so that the taps reach past the stored pixels: read in place, the samples a copy of
    // the pixels gives, transparent outside them.
    auto hidden = std::make_shared<CountingStore>(px, bounds, true);
    for (const double sc : {1.3, 0.7}) {
        const Affine t = Affine::translation(-20, -15).then(Affine::scale(sc, sc)).then(Affine::translation(20.25, 14.5));
        const auto burst = [&](const Image& src) {
            return filters::screenBlend(alphaScaled(src.transformed(t).cropped({-6, -6, 52, 42}), 0.4), base).cropped({-6, -6, 52, 42});
        };
        store->copies = 0;
        for (const bool fusedRuns : {true, false}) {
            const std::vector<float> inPlace = renderWith(burst(trail), {-6, -6, 52, 42}, 8, fusedRuns);
            EXPECT_EQ(store->copies.load(), 0);
            const std::vector<float> copied = renderWith(burst(Image(hidden)), {-6, -6, 52, 42}, 8, fusedRuns);
            // The vector sampler takes over taps the copy's edge left to the per-pixel one: the
            // same bilinear sample to a rounding.
            ASSERT_EQ(inPlace.size(), copied.size());
            float worst = 0;
            for (size_t i = 0; i < inPlace.size(); ++i) worst = std::max(worst, std::abs(inPlace[i] - copied[i]));
            EXPECT_LT(worst, 1e-6f) << sc;
        }
    }
    EXPECT_GT(hidden->copies.load(), 0);
}

// Overs of stored trails, faded, and of a faded blur moved by a fraction, over a stored picture,
// in rows wider than the pieces a run works in, with one trail cropped narrower than the frame:
// the chain is done a whole row at a time, mixes the move's rows in its own pass, splits where
// the narrow crop ends, and gives the node-by-node pixels to the bit, stored or not.
TEST(PixelRuns, ChainsOfStoredAndMovedLayersGiveTheNodeByNodePixels) {
    const int W = 700, H = 23;
    const Rect E{0, 0, double(W), double(H)};
    const Image graded = materializeForBlur(Image::fromQImage(picture(W, H, 7)), 2.0, 4);
    std::vector<Image> trails;
    for (int i = 0; i < 3; ++i) trails.push_back(materialize(Image::fromQImage(picture(W, H, 8 + i))));
    for (const double tx : {3.3, -2.75}) {
        const Image ghost = graded.gaussianBlur(2.0).translated(tx, -1.7).cropped(E);
        Image acc = alphaScaled(ghost, 0.55).composited(graded).cropped(E);
        acc = alphaScaled(trails[0], 0.45).composited(acc);
        acc = alphaScaled(trails[1].cropped({37.5, 0, 400, double(H)}), 0.3).composited(acc);
        acc = alphaScaled(trails[2], 0.18).composited(acc);
        FramePlan plan;
        planFrame(acc.node().get(), plan, true);
        ASSERT_FALSE(plan.runs.empty());
        test::forEachSimdTarget([&] {
            for (const int tileRows : {64, 5}) {
                const std::vector<float> a = renderWith(acc, {0, 0, W, H}, tileRows, false);
                const std::vector<float> b = renderWith(acc, {0, 0, W, H}, tileRows, true);
                ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << tx << " tile rows " << tileRows;
            }
            const std::vector<float> ref = renderWith(acc, {0, 0, W, H}, 64, false);
            const PixelView kept = pixelsOf(materialize(acc));
            ASSERT_TRUE(kept);
            ASSERT_EQ(kept.bounds, (IRect{0, 0, W, H}));
            EXPECT_EQ(0, std::memcmp(ref.data(), kept.data, ref.size() * sizeof(float))) << tx;
            // The ghost shows: the layers are not all transparent.
            double sum = 0;
            for (size_t i = 3; i < ref.size(); i += 4) sum += ref[i];
            EXPECT_GT(sum / (W * H), 0.5);
        });
    }
}

// A colour fringe: a stored picture's red moved right and its blue moved left by fractions of a
// pixel, screened together and over the picture. The channel gains are taken past the moves and
// the screens are one chain of two moved layers over the picture, read where it lies; the
// pixels are the node-by-node ones to the bit, and the plain chain's to rounding.
TEST(PixelRuns, AColourFringeIsOneChainOfMovedGains) {
    const int W = 530, H = 19;
    const Rect E{0, 0, double(W), double(H)};
    const Image B = materialize(Image::fromQImage(picture(W, H, 5)));
    auto fringe = [&](double o) {
        const Image red =
            filters::colorMatrixWithBias(B, {1, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}).translated(o, 0);
        const Image blue =
            filters::colorMatrixWithBias(B, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}).translated(-o, 0);
        return filters::screenBlend(filters::screenBlend(red, blue), B).cropped(E);
    };
    for (const double o : {2.3, 1.0}) {
        const Image C = fringe(o);
        // The gain lies over the move, and the outer screen's foreground is the red layer alone.
        const auto* crop = dynamic_cast<const CropNode*>(C.node().get());
        ASSERT_TRUE(crop);
        const Node* outer = crop->input(0);
        const auto* top = dynamic_cast<const PointwiseNode*>(outer->input(0));
        ASSERT_TRUE(top);
        EXPECT_TRUE(dynamic_cast<const TransformNode*>(top->input(0)));
        EXPECT_TRUE(dynamic_cast<const PointwiseNode*>(outer->input(1)->input(0)));
        test::forEachSimdTarget([&] {
            for (const int tileRows : {64, 5}) {
                const std::vector<float> a = renderWith(C, {0, 0, W, H}, tileRows, false);
                const std::vector<float> b = renderWith(C, {0, 0, W, H}, tileRows, true);
                ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << o << " tile rows " << tileRows;
            }
        });
        setStraightforwardChains(true);
        const Image plain = fringe(o);
        setStraightforwardChains(false);
        const std::vector<float> want = renderWith(plain, {0, 0, W, H}, 64, false), got = renderWith(C, {0, 0, W, H}, 64, true);
        double worst = 0, sum = 0;
        for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, double(std::abs(got[i] - want[i]))), sum += want[i];
        EXPECT_LT(worst, 1e-5) << o;
        EXPECT_GT(sum, 0.1 * double(want.size()));
    }
}

// A picture kept in bands, read by a soft glow and as the background the glow is screened over,
// then a vignette, in rows wider than a piece: the bands are read where they lie (not copied
// into a buffer of the tile), the screen is one pass, the vignette a step of the same run, and
// the pixels are the node-by-node ones to the bit, for any tiling.
TEST(PixelRuns, BandsAScreenAndAVignetteRunAsOnePass) {
    const int W = 600, H = 45;
    const Image src = Image::fromQImage(picture(W, H, 21)).gaussianBlur(0.8).cropped({0, 0, double(W), double(H)});
    const Image kept = computedOnce(src);
    const Image glow = clampedToExtent(kept).softBlur(4.0).cropped({0, 0, double(W), double(H)});
    const Image im = filters::vignette(filters::screenBlend(alphaScaled(glow, 0.35), kept), 1.1, 1.6);
    FramePlan plan;
    planFrame(im.node().get(), plan, true);
    ASSERT_EQ(plan.runs.size(), 1u);
    EXPECT_EQ(plan.runs[0].first, im.node().get());  // the vignette tops the run
    test::forEachSimdTarget([&] {
        for (const IRect rect : {IRect{0, 0, W, H}, IRect{-7, 3, W - 20, H - 10}})
            for (const int tileRows : {64, 5}) {
                const std::vector<float> a = renderWith(im, rect, tileRows, false);
                const std::vector<float> b = renderWith(im, rect, tileRows, true);
                ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float))) << rect.x << " tile rows " << tileRows;
            }
        // The vignette darkens the corners against the middle.
        const std::vector<float> a = renderWith(im, {0, 0, W, H}, 64, true);
        const std::vector<float> plain = renderWith(filters::screenBlend(alphaScaled(glow, 0.35), kept), {0, 0, W, H}, 64, true);
        EXPECT_LT(a[0], plain[0] * 0.9f);
        const size_t mid = (size_t(H / 2) * W + W / 2) * 4;
        EXPECT_NEAR(a[mid], plain[mid], plain[mid] * 0.01f + 1e-6f);
    });
}

namespace {
// A ripple-like warp: each row moved across by one distance, each column down by one, declared
// separable or not.
class WaveKernel final : public WarpKernel {
public:
    // `down` 0: rows only move across (a tear); `across` the largest move across.
    explicit WaveKernel(bool separable, float down = 5.25f, float across = 6.5f)
        : separable_(separable), down_(down), across_(across) {}
    void mapRow(int x0, int y, int n, float* sx, float* sy) const override {
        const float py = float(y) + 0.5f, dx = across_ * std::sin(py * 0.21f + 0.3f);
        for (int i = 0; i < n; ++i) {
            const float px = float(x0 + i) + 0.5f;
            sx[i] = px + dx;
            sy[i] = py + down_ * std::sin(px * 0.17f);
        }
    }
    Rect roi(const Rect& dest) const override { return dest.insetBy(-std::ceil(across_) - 1, -7); }
    bool separable() const override { return separable_; }

private:
    bool separable_;
    float down_, across_;
};
}  // namespace

// A separable warp is sampled a register of a row at a time, with its taps clamped onto the
// picture itself instead of read from its clamped copy: the generic per-pixel samples, on every
// target, at odd sizes and offsets and at the picture's edges, where the clamp repeats them.
TEST(SeparableWarps, SampleAsTheGenericWarpOnEveryTarget) {
    const Image pic = Image::fromQImage(picture(83, 47, 7)).translated(3, -2);
    const Rect e = pic.extent();
    test::forEachSimdTarget([&] {
        for (const IRect rect : {IRect{3, -2, 83, 47}, IRect{-5, -9, 97, 61}, IRect{20, 4, 17, 5}}) {
            const Image fast = pic.clampedToExtent().warped(std::make_shared<WaveKernel>(true), e);
            const Image slow = pic.clampedToExtent().warped(std::make_shared<WaveKernel>(false), e);
            const std::vector<float> a = renderWith(fast, rect, 16, true), b = renderWith(slow, rect, 16, true);
            double worst = 0;
            for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, double(std::abs(a[i] - b[i])));
            // Single- against double-precision positions: well under a thousandth of a level.
            EXPECT_LT(worst, 2e-5) << rect.x << "," << rect.y;
            int lit = 0;
            for (size_t i = 3; i < a.size(); i += 4) lit += a[i] > 0.1f;
            EXPECT_GT(lit, int(a.size() / 4) / 2);
        }
    });
}

// A separable warp that moves nothing down mixes two neighbours of the row itself per pixel: the
// generic samples on every target, for moves within the picture and for moves that carry rows
// wholly past its edges (every pixel then repeats the edge), at odd widths and tile heights.
TEST(SeparableWarps, RowsMovedOnlyAcrossSampleAsTheGenericWarpOnEveryTarget) {
    const Image pic = Image::fromQImage(picture(83, 47, 9)).translated(3, -2);
    const Rect e = pic.extent();
    test::forEachSimdTarget([&] {
        for (const float across : {6.5f, 120.0f}) {
            for (const IRect rect : {IRect{3, -2, 83, 47}, IRect{-5, -9, 97, 61}, IRect{20, 4, 17, 5}}) {
                const Image fast = pic.clampedToExtent().warped(std::make_shared<WaveKernel>(true, 0.0f, across), e);
                const Image slow = pic.clampedToExtent().warped(std::make_shared<WaveKernel>(false, 0.0f, across), e);
                for (const int tileRows : {16, 3}) {
                    const std::vector<float> a = renderWith(fast, rect, tileRows, true), b = renderWith(slow, rect, 16, true);
                    double worst = 0;
                    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, double(std::abs(a[i] - b[i])));
                    EXPECT_LT(worst, 2e-5) << across << " at " << rect.x << "," << rect.y << " in tiles of " << tileRows;
                    int lit = 0;
                    for (size_t i = 3; i < a.size(); i += 4) lit += a[i] > 0.1f;
                    EXPECT_GT(lit, int(a.size() / 4) / 2);
                }
            }
        }
    });
}

// A picture read by a stencil with a margin and then by a blend is made once a tile: the blend
// takes the middle of what the stencil pulled (the blend's bottom is read first, so the stencil
// lies there). The pixels are those of two separate copies of it.
TEST(PixelRuns, ASecondReaderTakesTheMiddleOfAPictureAStencilPulled) {
    const std::vector<float> pixels = Renderer(1, 64).renderFloat(Image::fromQImage(picture(83, 47, 4)), {0, 0, 83, 47});
    const IRect b{0, 0, 83, 47};
    for (const int tileRows : {5, 16, 64}) {
        const auto shared = std::make_shared<CountingStore>(pixels, b, true);
        const auto alone = std::make_shared<CountingStore>(pixels, b, true);
        const auto first = std::make_shared<CountingStore>(pixels, b, true), second = std::make_shared<CountingStore>(pixels, b, true);
        const Image pic(shared);
        const std::vector<float> got = renderWith(filters::screenBlend(pic, filters::edges(pic, 1.5)), b, tileRows, true);
        const std::vector<float> want =
            renderWith(filters::screenBlend(Image(second), filters::edges(Image(first), 1.5)), b, tileRows, true);
        EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * sizeof(float))) << tileRows;
        renderWith(filters::edges(Image(alone), 1.5), b, tileRows, true);
        EXPECT_EQ(shared->copies.load(), alone->copies.load()) << tileRows << ": made once a tile, as for the stencil alone";
    }
}

// A tone over a picture moved by a fraction of a pixel both ways and cropped mixes the moved rows
// in its own pass: the node-by-node bits, for the crop's inside and its edges, on every target.
TEST(PixelRuns, ATonedMoveBothWaysThroughACropIsMixedInTheTonesPass) {
    const Image stored = materialize(Image::fromQImage(picture(97, 61, 2)));
    for (const Point move : {Point{0.3, 0.65}, Point{-2.75, 0.5}, Point{0.0, 0.25}}) {
        const Image im = filters::colorControls(stored.translated(move.x, move.y).cropped(Rect{3, 2, 80, 50}), 1.0, 0.05, 1.4)
                             .cropped(Rect{0, 0, 97, 61});
        test::forEachSimdTarget([&] {
            for (const int tileRows : {64, 7}) {
                const std::vector<float> a = renderWith(im, {0, 0, 97, 61}, tileRows, false);
                const std::vector<float> b = renderWith(im, {0, 0, 97, 61}, tileRows, true);
                ASSERT_EQ(a.size(), b.size());
                ASSERT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << move.x << "," << move.y << " rows " << tileRows;
            }
        });
    }
}
