#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

using namespace ostrela::engine;

namespace {

// Noise kept where its red channel is above `cut`, opaque black elsewhere: about one pixel in
// 1/(1 − cut) survives, with its four channels as they were.
class ThresholdOp final : public PixelOp {
public:
    explicit ThresholdOp(float cut) : cut_(cut) {}
    void apply(float* p, int n) const override {
        for (int i = 0; i < n; ++i, p += 4) {
            if (p[0] > cut_) continue;
            p[0] = p[1] = p[2] = 0;
            p[3] = 1;
        }
    }

private:
    float cut_;
};

Image specks(float cut) { return filters::randomNoise().pixelOp(std::make_shared<ThresholdOp>(cut)); }

// The same graph built literally (nothing kept, every pixel read) and the largest difference.
template <class Build>
float literalDifference(Build build, const IRect& r, Renderer& renderer) {
    setStraightforwardChains(true);
    const Image literal = build();
    setStraightforwardChains(false);
    const std::vector<float> a = renderer.renderFloat(build(), r), b = renderer.renderFloat(literal, r);
    float worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

}  // namespace

TEST(KeptPatterns, GiveThePicturesPixelsFromTheStoreFrameAfterFrame) {
    Renderer tiled(2, 48);
    auto store = keptPatternStore();
    const Rect e{0, 0, 300, 200};
    // Moves by whole pixels either way, blocks crossed at negative coordinates too.
    for (auto [dx, dy] : {std::pair{0, 0}, {-131, 57}, {250, -1000}, {-3, -3}}) {
        SCOPED_TRACE(std::to_string(dx) + "," + std::to_string(dy));
        auto build = [&] { return keptPattern(specks(0.995f), store).translated(dx, dy).cropped(e); };
        EXPECT_EQ(literalDifference(build, {-10, -10, 320, 220}, tiled), 0.0f);
    }
    // A few pixels in two hundred survive: the blocks are kept as their points.
    const size_t bytes = keptPatternBytes(*store);
    EXPECT_GT(bytes, 0u);
    EXPECT_LT(bytes, size_t(200) << 10);
    // Seen again, nothing new is made.
    Renderer one(1, 1024);
    one.renderFloat(keptPattern(specks(0.995f), store).translated(-3, -3).cropped(e), {0, 0, 300, 200});
    EXPECT_EQ(keptPatternBytes(*store), bytes);

    // A pattern kept inside another kept picture is made while the outer one is.
    auto inner = keptPatternStore(), outer = keptPatternStore();
    auto nested = [&] {
        const Image moved = keptPattern(specks(0.99f), inner).translated(-300, 77);
        return keptPattern(filters::randomNoise().composited(moved.cropped({0, 0, 200, 100})), outer).cropped(e);
    };
    EXPECT_EQ(literalDifference(nested, {0, 0, 300, 200}, tiled), 0.0f);
    EXPECT_GT(keptPatternBytes(*inner), 0u);

    // A pattern that is not sparse is kept whole, with the same pixels.
    auto whole = keptPatternStore();
    auto build = [&] { return keptPattern(filters::randomNoise(), whole).translated(7, -9).cropped(e); };
    EXPECT_EQ(literalDifference(build, {0, 0, 300, 200}, tiled), 0.0f);
    EXPECT_GE(keptPatternBytes(*whole), size_t(300) * 200 * 16);
}

TEST(KeptPatterns, BlurSpreadsTheirPointsAsItBlursEveryPixel) {
    // The blur reads the kept pixels as points and spreads them; the literal blur reads every
    // pixel. Both fade at the crop's edges the same way, in tiles crossing every edge.
    Renderer tiled(2, 40), whole(1, 1024);
    const Rect e{5, 3, 333, 187};
    for (double sigma : {0.4, 1.2, 3.0}) {
        SCOPED_TRACE(sigma);
        auto store = keptPatternStore();
        auto build = [&] {
            return keptPattern(specks(0.99f), store).translated(-77, 301).cropped(e).gaussianBlur(sigma).cropped(e);
        };
        EXPECT_LT(literalDifference(build, {0, 0, 345, 200}, tiled), 2e-6f);
        EXPECT_LT(literalDifference(build, {-20, -20, 400, 240}, whole), 2e-6f);
        // Some light was spread: the blurred points are there.
        const std::vector<float> px = whole.renderFloat(build(), {5, 3, 333, 187});
        float brightest = 0;
        for (size_t i = 0; i < px.size(); i += 4) brightest = std::max(brightest, px[i]);
        EXPECT_GT(brightest, 0.02f);
    }
    // Blocks whose common values differ, or that are whole, are read as pixels: the same result.
    auto mixed = keptPatternStore();
    auto build = [&] {
        const Image left = specks(0.99f).cropped({0, 0, 128, 256});
        const Image right = filters::randomNoise().cropped({128, 0, 128, 256});
        return keptPattern(right.composited(left), mixed).cropped({0, 0, 256, 256}).gaussianBlur(1.2);
    };
    EXPECT_LT(literalDifference(build, {-4, -4, 264, 264}, tiled), 2e-6f);
}

namespace {
// Counts the pixels a pattern is made of, so a test sees which blocks are made again.
class CountingOp final : public PixelOp {
public:
    explicit CountingOp(std::atomic<long>* n) : n_(n) {}
    void apply(float*, int count) const override { *n_ += count; }

private:
    std::atomic<long>* n_;
};
}  // namespace

TEST(KeptPatterns, StayWithinTheirMemoryDroppingWhatWasReadLongestAgo) {
    // Whole blocks (256 kB each) fill the store to its 64 MB; a part read again in between stays.
    auto store = keptPatternStore();
    std::atomic<long> made{0};
    const Image kept = keptPattern(filters::randomNoise().pixelOp(std::make_shared<CountingOp>(&made)), store);
    Renderer r(2, 256);
    const IRect a{0, -512, 512, 256};  // 8 blocks
    auto show = [&](const IRect& rect) { r.renderFloat(kept.cropped({double(rect.x), double(rect.y), double(rect.w), double(rect.h)}), rect); };
    show(a);
    EXPECT_EQ(made.load(), 8L * 128 * 128);
    size_t most = 0;
    for (int k = 0; k < 6; ++k) {
        show({0, k * 1024, 2048, 1024});  // 128 blocks, 32 MB
        show(a);
        most = std::max(most, keptPatternBytes(*store));
    }
    EXPECT_GT(most, size_t(60) << 20);
    EXPECT_LE(most, size_t(64) << 20);
    const long before = made.load();
    show(a);
    EXPECT_EQ(made.load(), before);  // still kept
    show({0, 0, 128, 128});          // long dropped: made again
    EXPECT_EQ(made.load(), before + 128 * 128);
}

TEST(KeptPatterns, AreMadeOutsideTheTilesArenas) {
    // The frame that makes the blocks leaves the arenas no larger than a frame that finds them kept.
    auto store = keptPatternStore();
    auto frame = [&] { return keptPattern(specks(0.99f), store).translated(3, -700).cropped({0, 0, 1280, 720}).gaussianBlur(1.2); };
    // One thread each: with two, whether the second thread gets a tile (and an arena) is chance.
    Renderer making(1, 64), finding(1, 64);
    making.renderFloat(frame(), {0, 0, 1280, 720});
    finding.renderFloat(frame(), {0, 0, 1280, 720});
    EXPECT_LE(making.arenaBytes(), finding.arenaBytes() + (size_t(256) << 10));
}

TEST(KeptPatterns, KeepNothingWhenBuiltForPlainChains) {
    auto unused = keptPatternStore();
    setStraightforwardChains(true);
    const Image plain = keptPattern(specks(0.99f), unused);
    setStraightforwardChains(false);
    Renderer r(2, 256);
    r.renderFloat(plain.cropped({0, 0, 256, 256}), {0, 0, 256, 256});
    EXPECT_EQ(keptPatternBytes(*unused), 0u);
}
