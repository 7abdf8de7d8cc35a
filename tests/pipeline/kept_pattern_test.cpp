#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>

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

// ---- Rows kept across frames ----

namespace {

// A fixed picture that counts the pixels it is asked to make; each pixel codes where it lies.
class CountingPicture final : public Node {
public:
    Rect extent() const override { return Rect::infinite(); }
    void render(TileContext&, const IRect& r, float* out) const override {
        made += long(r.w) * r.h;
        for (int j = 0; j < r.h; ++j)
            for (int i = 0; i < r.w; ++i) {
                float* p = out + (size_t(j) * r.w + i) * 4;
                const int x = r.x + i, y = r.y + j;
                p[0] = float(((x % 251) + 251) % 251) / 251;
                p[1] = float(((y % 241) + 241) % 241) / 241;
                p[2] = float((((x * 7 + y * 3) % 239) + 239) % 239) / 239;
                p[3] = 1;
            }
    }
    mutable std::atomic<long> made{0};
};

// The rows a move up by `off` reads over the pixels of e, with the column past the end.
IRect rowsRead(const IRect& e, double off) {
    const int lo = int(std::floor(e.y - off)), hi = int(std::floor(e.maxY() - 1 - off)) + 2;
    return {e.x, lo, e.w + 1, hi - lo};
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

// Scrolled a few rows a frame, a picture's kept rows give the moved picture to the bit, and only
// the rows that scroll in are made; a jump makes them all afresh; scrolling back works as well.
TEST(KeptRows, GiveTheMovedPictureMakingOnlyTheRowsThatScrollIn) {
    auto counting = std::make_shared<CountingPicture>();
    const Image fixed(counting);
    const IRect e{0, 0, 300, 200};
    auto store = keptRowsStore();
    Renderer tiled(2, 48);
    double off = 10.3;
    for (int f = 0; f < 9; ++f) {
        const IRect over = rowsRead(e, off);
        const long before = counting->made;
        const Image kept = keptRows(fixed, over, store).translated(0, off).cropped(Rect{0, 0, 300, 200});
        const long made = counting->made - before;
        if (f == 0 || f == 6) {
            EXPECT_EQ(made, long(over.w) * over.h) << "frame " << f;
        } else {
            EXPECT_LE(made, 4L * over.w) << "frame " << f;
            EXPECT_GT(made, 0) << "frame " << f;
        }
        const long beforeRender = counting->made;
        const std::vector<float> got = tiled.renderFloat(kept, e);
        EXPECT_EQ(counting->made, beforeRender) << "frame " << f;  // read from the rows, nothing made
        const std::vector<float> want = tiled.renderFloat(fixed.translated(0, off).cropped(Rect{0, 0, 300, 200}), e);
        ASSERT_TRUE(sameBits(got, want)) << "frame " << f;
        off += f == 5 ? 1000.0 : f >= 7 ? -2.6 : 2.6;
    }
    // One ring (no frame was held while the next was built) of the 201 rows first read, and 8 more.
    EXPECT_EQ(keptRowsBytes(*store), size_t(301) * (201 + 8) * 4 * sizeof(float));
}

// A frame's graph still held while later ones are built keeps its own rows; with two held, a
// third frame is made without keeping; every frame is its own moved picture.
TEST(KeptRows, HeldFramesKeepTheirOwnRows) {
    const Image fixed = filters::randomNoise().gaussianBlur(2.0);
    const IRect e{0, 0, 256, 128};
    const Rect E{0, 0, 256, 128};
    auto store = keptRowsStore();
    Renderer renderer(2, 32);
    const double offs[3] = {3.25, 9.75, 15.5};
    std::vector<Image> held;
    for (double off : offs) held.push_back(keptRows(fixed, rowsRead(e, off), store).translated(0, off).cropped(E));
    for (int f = 0; f < 3; ++f)
        ASSERT_TRUE(sameBits(renderer.renderFloat(held[size_t(f)], e),
                             renderer.renderFloat(fixed.translated(0, offs[f]).cropped(E), e)))
            << "frame " << f;
    EXPECT_EQ(keptRowsBytes(*store), size_t(2) * 257 * (129 + 8) * 4 * sizeof(float));
}

// Only the picture's own pixels are kept: outside them, and outside the rows asked for, it is
// transparent; built for the plain chains, nothing is kept.
TEST(KeptRows, AreTransparentBeyondThePictureAndTheRowsAskedFor) {
    const Image small = filters::randomNoise().cropped(Rect{0, 0, 100, 100});
    auto store = keptRowsStore();
    Renderer renderer(1, 64);
    const IRect r{40, 40, 130, 130};
    const std::vector<float> got = renderer.renderFloat(keptRows(small, {50, 50, 100, 100}, store), r);
    const std::vector<float> want = renderer.renderFloat(small.cropped(Rect{50, 50, 50, 50}), r);
    ASSERT_TRUE(sameBits(got, want));
    EXPECT_EQ(keptRowsBytes(*store), size_t(50) * (50 + 8) * 4 * sizeof(float));
    setStraightforwardChains(true);
    auto plain = keptRowsStore();
    const Image literal = keptRows(small, {50, 50, 100, 100}, plain);
    setStraightforwardChains(false);
    EXPECT_EQ(keptRowsBytes(*plain), 0u);
    EXPECT_TRUE(sameBits(renderer.renderFloat(literal, r), want));
}

// A move by a fraction of a pixel reads a picture kept in bands where its rows lie, as it reads a
// stored one: the same bits, sideways and up, inside and across the picture's edges, alone or
// mixed by the tone step that reads it.
TEST(KeptRows, MovesReadPicturesKeptInBandsAsStoredOnes) {
    const Image picture = filters::randomNoise().gaussianBlur(1.5).cropped(Rect{0, 0, 320, 240});
    Renderer renderer(2, 40);
    const Rect out{-4, -4, 330, 250};
    for (const Affine& t : {Affine::translation(0.3, 5.7), Affine::translation(-7.0, -2.25), Affine::translation(0.0, 0.5)}) {
        const Image banded = computedOnce(picture).transformed(t).cropped(out);
        const Image stored = materialize(picture).transformed(t).cropped(out);
        ASSERT_TRUE(sameBits(renderer.renderFloat(banded, {-4, -4, 330, 250}), renderer.renderFloat(stored, {-4, -4, 330, 250})))
            << t.tx << ", " << t.ty;
        const Image tonedBanded = filters::colorControls(computedOnce(picture).transformed(t), 1.0, 0.1, 1.3).cropped(Rect{2, 3, 300, 200});
        const Image tonedStored = filters::colorControls(materialize(picture).transformed(t), 1.0, 0.1, 1.3).cropped(Rect{2, 3, 300, 200});
        ASSERT_TRUE(sameBits(renderer.renderFloat(tonedBanded, {2, 3, 300, 200}), renderer.renderFloat(tonedStored, {2, 3, 300, 200})))
            << "toned, " << t.tx << ", " << t.ty;
        // The rows a reader mixes in its own pass: the picture's rows where the move reads them.
        const Image bandMove = computedOnce(picture).transformed(t);
        const auto* fromBands = dynamic_cast<const TransformNode*>(bandMove.node().get());
        ASSERT_TRUE(fromBands);
        const Image px = materialize(picture);
        const PixelView v = pixelsOf(px);
        Arena arena;
        TileContext ctx(arena);
        const IRect r{10, 12, 100, 40};
        const void* a = fromBands->readyRows(ctx, r);
        ASSERT_TRUE(a);
        int mixed = 0;
        for (int y = r.y; y < r.maxY(); ++y) {
            const float *lo, *hi;
            float wx, wy;
            if (!fromBands->movedRows(a, y, r.x, r.maxX(), &lo, &hi, &wx, &wy)) continue;
            ++mixed;
            const double fy = y - t.ty, fx = -t.tx;
            ASSERT_EQ(wy, float(fy - std::floor(fy)));
            ASSERT_EQ(wx, float(fx - std::floor(fx)));
            const int x0 = r.x + int(std::floor(fx)), y0 = int(std::floor(fy));
            ASSERT_EQ(std::memcmp(lo, v.at(x0, y0), size_t(r.w + 1) * 4 * sizeof(float)), 0) << y;
            ASSERT_EQ(std::memcmp(hi, v.at(x0, y0 + 1), size_t(r.w + 1) * 4 * sizeof(float)), 0) << y;
        }
        EXPECT_EQ(mixed, r.h);
        ctx.endTile();
    }
}

namespace {
// The half-precision value nearest to x (ties to even), worked out in doubles.
float nearestHalf(float x) {
    const double a = std::abs(double(x));
    if (a == 0) return x;
    const double step = a < std::ldexp(1.0, -14) ? std::ldexp(1.0, -24) : std::ldexp(1.0, int(std::floor(std::log2(a))) - 10);
    return float(std::nearbyint(double(x) / step) * step);
}
}  // namespace

// A picture kept at half precision holds the extent's pixels only, each value the nearest half,
// and is transparent beyond.
TEST(KeptInHalves, HoldTheExtentsPixelsAtTheNearestHalf) {
    Renderer tiled(2, 48);
    const Rect e{-7, 3, 301, 97};
    // Red up to 3, green down among the halves' smallest (subnormal) values, blue and alpha as made.
    const Image graph = filters::colorMatrixWithBias(filters::randomNoise(), {3, 0, 0, 0}, {0, 2e-4, 0, 0}, {0, 0, 1, 0},
                                                     {0, 0, 0, 1}, {0, 0, 0, 0})
                            .cropped(e);
    const Image stored = materializeOver(graph, {-20, -10, 340, 130});
    ASSERT_TRUE(isMaterialized(stored));
    const Image kept = keptInHalves(stored);
    EXPECT_FALSE(isMaterialized(kept));
    EXPECT_EQ(kept.extent(), e);
    EXPECT_EQ(storedBytes(kept), size_t(301) * 97 * 4 * 2);

    const IRect r{-25, -12, 350, 140};
    const std::vector<float> full = tiled.renderFloat(stored, r), half = tiled.renderFloat(kept, r);
    int subnormal = 0, above1 = 0, off = 0;
    for (int y = r.y; y < r.maxY(); ++y)
        for (int x = r.x; x < r.maxX(); ++x)
            for (int c = 0; c < 4; ++c) {
                const size_t i = (size_t(y - r.y) * r.w + (x - r.x)) * 4 + c;
                const bool inside = x >= -7 && x < 294 && y >= 3 && y < 100;
                const float want = inside ? nearestHalf(full[i]) : 0.0f;
                off += half[i] != want;
                subnormal += inside && full[i] > 0 && full[i] < 6.1e-5f;
                above1 += inside && full[i] > 1;
            }
    EXPECT_EQ(off, 0);
    EXPECT_GT(subnormal, 1000);
    EXPECT_GT(above1, 1000);

    // Read by a run of overs, its rows widened where they are read, as a stored picture of the
    // widened pixels is read; tiles of 7 rows and pieces of rows cut by a crop.
    const Image widened = storedImage(std::make_shared<const PixelStore>(half.begin(), half.end()), r, e);
    const Image under = filters::linearGradient({0, 0}, {300, 100}, Color{0.3f, 0.1f, 0.6f, 1}, Color{0.9f, 0.8f, 0.1f, 0.5f});
    const auto over = [&](const Image& top) {
        return filters::colorMatrixWithBias(top, {1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 0.45}, {0, 0, 0, 0})
            .composited(under)
            .cropped({-3, 0, 250, 90});
    };
    Renderer thin(2, 7);
    EXPECT_TRUE(thin.renderFloat(over(kept), r) == thin.renderFloat(over(widened), r));

    // A picture not stored yet is made in bands straight into halves: the same values.
    const Image made = keptInHalves(graph);
    EXPECT_FALSE(isMaterialized(made));
    EXPECT_EQ(storedBytes(made), storedBytes(kept));
    EXPECT_TRUE(tiled.renderFloat(made, r) == half);

    // Built for the plain chains nothing is kept: the graph comes back.
    setStraightforwardChains(true);
    const Image plain = keptInHalves(materializeOver(graph, {-20, -10, 340, 130}));
    setStraightforwardChains(false);
    EXPECT_EQ(plain.node(), graph.node());
}

// A picture that grows a little from frame to frame (the rows a turning move reads) keeps one
// buffer in the pool, not one for every size it had; smaller pictures are made in it too.
TEST(StoredPictures, AGrowingPictureKeepsOneBufferInThePool) {
    releaseIdlePixels();
    const size_t held = pooledPixelBytes();  // pictures other tests still hold
    const Image colour = Image::solid(Color{0.2f, 0.4f, 0.1f, 1});
    for (int i = 0; i <= 12; ++i) {
        const Image p = materialize(colour.cropped({0, 0, 400.0 + 20 * i, 300}));
        ASSERT_TRUE(isMaterialized(p));
    }
    const size_t last = size_t(640) * 300 * 4 * sizeof(float);
    EXPECT_GE(pooledPixelBytes() - held, last);
    EXPECT_LE(pooledPixelBytes() - held, last + last / 8);
    for (int w : {500, 600, 460}) materialize(colour.cropped({0, 0, double(w), 300}));
    EXPECT_LE(pooledPixelBytes() - held, last + last / 8);
}

// A buffer no picture has been made in for a while goes even when every later picture finds a
// buffer of its size in the pool (the bands a look's first frame was made in, while the look
// then makes only a few small pictures a frame).
TEST(StoredPictures, AnIdleBufferLeavesThePoolWhileSmallerOnesAreReused) {
    releaseIdlePixels();
    const size_t held = pooledPixelBytes();
    const Image colour = Image::solid(Color{0.2f, 0.4f, 0.1f, 1});
    ASSERT_TRUE(isMaterialized(materialize(colour.cropped({0, 0, 1280, 400}))));
    const size_t large = size_t(1280) * 400 * 4 * sizeof(float);
    EXPECT_GE(pooledPixelBytes() - held, large);
    const size_t small = size_t(1280) * 4 * 4 * sizeof(float);
    for (int frame = 0; frame < 100; ++frame) {
        const Image rows = materialize(colour.cropped({0, 0, 1280, 4}));
        ASSERT_TRUE(isMaterialized(rows));
    }
    EXPECT_LE(pooledPixelBytes() - held, 2 * small);
}
