#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/Filters.h"
#include "pipeline/engine/Image.h"
#include "pipeline/engine/LargeBuffers.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelRuns.h"
#include "pipeline/engine/Renderer.h"
#include "pipeline/engine/Schedule.h"

#include "tests/support/SimdTargets.h"

#include <gtest/gtest.h>

#include <QImage>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

using namespace ostrela::engine;

namespace {

// Deterministic, busy 8-bit picture: every pixel different, partly transparent when asked.
QImage patternImage(int w, int h, bool withAlpha = false) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    uint32_t s = 12345;
    for (int y = 0; y < h; ++y) {
        uint32_t* row = reinterpret_cast<uint32_t*>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            s = s * 1664525u + 1013904223u;
            unsigned a = withAlpha ? (s >> 24) | 1u : 255u;
            unsigned r = ((x * 7 + (s >> 8)) & 255) * a / 255, g = ((y * 5 + (s >> 16)) & 255) * a / 255;
            unsigned b = ((x + y) & 255) * a / 255;
            row[x] = (a << 24) | (r << 16) | (g << 8) | b;
        }
    }
    return img;
}

QImage filled(int w, int h, QColor c) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(c);
    return img;
}

// A graph that exercises every node kind.
Image busyGraph() {
    Image src = Image::fromQImage(patternImage(320, 240, true));
    Affine t = Affine::scale(4.1, 3.05).then(Affine{0.98, 0.17, -0.17, 0.98, 15.3, -40.7});
    Image scaled = src.clampedToExtent().transformed(t).cropped({-20, -30, 1400, 800});
    ColorMatrix sat = identityMatrix();
    sat[0] = 1.3f; sat[1] = -0.2f; sat[2] = -0.1f; sat[4] = 0.02f;
    Image graded = scaled.colorMatrix(sat).colorMatrix(identityMatrix());
    Image blurred = graded.gaussianBlur(6.0).cropped({0, 0, 1280, 720});
    Image fine = graded.gaussianBlur(1.5);
    Image over = fine.cropped({100, 50, 700, 400}).composited(blurred);
    return over.composited(Image::solid(Color::fromSRGB(0.1, 0.2, 0.3)));
}

uint8_t* pixel(std::vector<uint8_t>& buf, int x, int rowFromTop) { return buf.data() + (size_t(rowFromTop) * 1280 + x) * 4; }

}  // namespace

TEST(EngineTiles, TiledRenderEqualsOnePieceBitForBit) {
    ostrela::test::forEachSimdTarget([&] {
        const Image g = busyGraph();
        const IRect rect{0, 0, 1280, 720};
        Renderer onePiece(1, 720);
        std::vector<uint8_t> a(1280 * 720 * 4), b(a.size()), c(a.size());
        onePiece.render(g, rect, a.data(), 1280 * 4);
        Renderer tiled(2, 64);
        tiled.render(g, rect, b.data(), 1280 * 4);
        Renderer odd(2, 7);  // tile edges that fall on every phase of the reduced blur grid
        odd.render(g, rect, c.data(), 1280 * 4);
        EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size()));
        EXPECT_EQ(0, std::memcmp(a.data(), c.data(), a.size()));
        // The float result agrees as well, for an offset rectangle.
        const IRect off{-37, 13, 300, 211};
        std::vector<float> fa = onePiece.renderFloat(g, off), fb = odd.renderFloat(g, off);
        EXPECT_EQ(0, std::memcmp(fa.data(), fb.data(), fa.size() * sizeof(float)));
        // And the picture is not trivially uniform.
        EXPECT_NE(0, std::memcmp(pixel(a, 10, 10), pixel(a, 600, 300), 4));
    });
}

namespace {
// Whether [p, p + bytes) lies in one mapping of the process (neighbouring mappings of the same
// kind may show as one).
bool mapped(const void* p, size_t bytes) {
    std::ifstream maps("/proc/self/maps");
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    for (std::string line; std::getline(maps, line);) {
        const size_t dash = line.find('-'), space = line.find(' ');
        const uintptr_t lo = std::stoull(line.substr(0, dash), nullptr, 16);
        const uintptr_t hi = std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16);
        if (lo <= a && a < hi) return a + bytes <= hi;
    }
    return false;
}

size_t virtualKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7));
    return 0;
}
}  // namespace

TEST(EngineMemory, LargeBuffersSitOnWholeHugePagesAndAreGivenBack) {
    constexpr size_t kHuge = size_t(2) << 20;
    {
        PixelStore frame(1280 * 720 * 4);  // 14.7 MB, fresh pages from the kernel (so zero)
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(frame.data()) % kHuge);
        EXPECT_EQ(0.0f, frame.front());
        EXPECT_EQ(0.0f, frame[frame.size() / 2]);
        EXPECT_EQ(0.0f, frame.back());
        frame.back() = 1.0f;
        EXPECT_TRUE(mapped(frame.data(), 8 * kHuge));
    }
    void* p = allocateLarge(kHuge + 1);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % kHuge);
    static_cast<char*>(p)[kHuge] = 7;  // the last byte asked for
    freeLarge(p, kHuge + 1);
    EXPECT_FALSE(mapped(p, 1));

    // The slack mapped for the alignment is given back with the rest: a hundred buffers made
    // and freed leave the process no larger.
    for (int i = 0; i < 3; ++i) freeLarge(allocateLarge(5 * kHuge), 5 * kHuge);
    const size_t before = virtualKb();
    for (int i = 0; i < 100; ++i) freeLarge(allocateLarge(5 * kHuge + 4096 * size_t(i)), 5 * kHuge + 4096 * size_t(i));
    EXPECT_LE(virtualKb(), before + 2048);

    // Small buffers come from the heap, cache-line aligned (and, like every store, not zeroed:
    // a picture is written before it is read).
    PixelStore small(1000);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(small.data()) % 64);
    void* none = allocateLarge(0);
    EXPECT_NE(nullptr, none);
    freeLarge(none, 0);
}

TEST(EngineTiles, ArenasStopGrowingAfterTheFirstFrame) {
    const Image g = busyGraph();
    Renderer r(2, 64);
    std::vector<uint8_t> out(1280 * 720 * 4);
    r.render(g, {0, 0, 1280, 720}, out.data(), 1280 * 4);
    r.render(g, {0, 0, 1280, 720}, out.data(), 1280 * 4);
    const size_t warmed = r.arenaBytes();
    EXPECT_GT(warmed, 0u);
    for (int i = 0; i < 20; ++i) r.render(busyGraph(), {0, 0, 1280, 720}, out.data(), 1280 * 4);
    EXPECT_EQ(warmed, r.arenaBytes());
}

// A thread's scratch serves every pass it works on: frames and pictures made to be stored share
// it, so a look that does both holds the larger of the two, not their sum.
TEST(EngineTiles, FramesAndStoredPicturesShareEachThreadsScratch) {
    Renderer r(0, 64);  // the machine's workers, as the stored pictures use
    std::vector<uint8_t> out(1280 * 720 * 4);
    Arena::releaseIdle();
    ASSERT_EQ(0u, Arena::threadBytes());
    r.render(busyGraph(), {0, 0, 1280, 720}, out.data(), 1280 * 4);
    const size_t frames = Arena::threadBytes();
    Arena::releaseIdle();
    ASSERT_EQ(0u, r.arenaBytes());
    const Image stored = materialize(busyGraph().cropped({0, 0, 1280, 720}));
    const size_t pictures = Arena::threadBytes();
    ASSERT_GT(frames, 0u);
    ASSERT_GT(pictures, 0u);
    r.render(busyGraph(), {0, 0, 1280, 720}, out.data(), 1280 * 4);
    EXPECT_EQ(std::max(frames, pictures), Arena::threadBytes());
    Arena::releaseIdle();
    EXPECT_EQ(0u, r.arenaBytes());
}

// A pass begun inside another's tile on the same thread (a picture made while a frame's tile is
// open) takes its buffers after the outer tile's and gives back only its own.
TEST(EngineTiles, ATileOpenedInsideAnotherLeavesItsBuffersBe) {
    Arena& arena = Arena::ofThisThread();
    TileContext outer(arena);
    float* kept = outer.alloc(3000);
    std::fill(kept, kept + 3000, 7.0f);
    float* inner1 = nullptr;
    {
        TileContext inner(arena);
        inner1 = inner.alloc(5000);
        std::fill(inner1, inner1 + 5000, 9.0f);
        std::fill_n(inner.alloc(size_t(2) << 20), size_t(2) << 20, 9.0f);  // and a block of its own
        inner.endTile();
        EXPECT_EQ(inner1, inner.alloc(16));  // its own buffers come back to it
        // Idle arenas go; this one has tiles open.
        const size_t held = Arena::threadBytes();
        Arena::releaseIdle();
        EXPECT_EQ(held, Arena::threadBytes());
    }
    EXPECT_TRUE(std::all_of(kept, kept + 3000, [](float v) { return v == 7.0f; }));
    EXPECT_NE(kept, inner1);
    outer.endTile();
    EXPECT_EQ(1u, arena.blockCount());  // the inner tile's block joined the first
}

// Tiles whose buffers outgrow the first block end up in one block sized to the most a tile took,
// not in blocks each leaving the tail a buffer did not fit in.
TEST(EngineTiles, AnArenaOutgrownSettlesInOneBlockOfItsTilesSize) {
    Arena arena;
    const size_t buffer = size_t(400) << 10;  // 1.6 MB: two fit in the first 4 MiB block
    std::vector<float*> first;
    {
        TileContext tile(arena);
        for (int i = 0; i < 3; ++i) first.push_back(tile.alloc(buffer));
        EXPECT_EQ(2u, arena.blockCount());
        tile.endTile();
        EXPECT_EQ(1u, arena.blockCount());
        const size_t settled = arena.capacityFloats();
        EXPECT_GE(settled, 3 * buffer);
        EXPECT_LT(settled, 3 * buffer + (size_t(1) << 19));  // within a 2 MiB page
        for (int tileNo = 0; tileNo < 3; ++tileNo) {
            float* a = tile.alloc(buffer);
            float* b = tile.alloc(buffer);
            float* c = tile.alloc(buffer);
            EXPECT_EQ(b, a + buffer);
            EXPECT_EQ(c, b + buffer);
            std::fill_n(c, buffer, 1.0f);  // the whole of it is the arena's
            tile.endTile();
            EXPECT_EQ(settled, arena.capacityFloats());
            EXPECT_EQ(1u, arena.blockCount());
        }
    }
}

// A node's inputs are given back once its pixels are out, unless another reader of the tile will
// ask for them: a tile of six blurred pictures screened together holds the six blurs and one
// blur's working buffers, not six blurs' working buffers, and its pixels are the same.
TEST(EngineTiles, ATileHoldsTheBuffersOfOnePathThroughTheGraph) {
    const QImage q = patternImage(640, 480, true);
    Image screened;
    for (int i = 0; i < 6; ++i) {
        const Image blurred = Image::fromQImage(q).gaussianBlur(4.0 + i).cropped({0, 0, 640, 480});
        screened = i == 0 ? blurred : filters::screenBlend(blurred, screened);
    }
    const IRect tile{0, 160, 640, 64};
    FramePlan plan;
    planFrame(screened.node().get(), plan);
    const auto scratch = [&](const FramePlan* p, std::vector<float>& out) {
        Arena arena;
        out.assign(size_t(tile.w) * tile.h * 4, 0.0f);
        TileContext ctx(arena, p);
        ctx.renderInto(*screened.node(), tile, out.data());
        ctx.endTile();
        return arena.capacityFloats();
    };
    std::vector<float> given, kept;
    const size_t scoped = scratch(&plan, given), whole = scratch(nullptr, kept);  // no plan: nothing given back
    EXPECT_LT(scoped * 2, whole) << scoped << " floats against " << whole;
    double worst = 0;
    for (size_t i = 0; i < given.size(); ++i) worst = std::max(worst, double(std::abs(given[i] - kept[i])));
    EXPECT_LT(worst, 1e-6);  // the screens fused in one pass against one by one
}

TEST(EngineTiles, TileHeightsGiveEveryWorkerTheSameNumberOfTiles) {
    // 720 rows asked for 64: 12 tiles of 60, not 11 of 64 and a 16-row tail.
    EXPECT_EQ(60, ostrela::engine::balancedTileRows(720, 64, 2));
    EXPECT_EQ(90, ostrela::engine::balancedTileRows(720, 90, 2));
    EXPECT_EQ(360, ostrela::engine::balancedTileRows(720, 1000, 2));  // one per worker
    EXPECT_EQ(60, ostrela::engine::balancedTileRows(360, 64, 2));
    EXPECT_EQ(43, ostrela::engine::balancedTileRows(170, 64, 2));
    EXPECT_EQ(44, ostrela::engine::balancedTileRows(170, 64, 2, true));  // even rows
    EXPECT_EQ(2, ostrela::engine::balancedTileRows(3, 1, 8, true));      // never below a 2×2 cell
    EXPECT_EQ(1, ostrela::engine::balancedTileRows(1, 64, 2));
    EXPECT_EQ(64, ostrela::engine::balancedTileRows(0, 64, 2));
    for (int h : {1, 7, 183, 359, 720}) {
        const int rows = ostrela::engine::balancedTileRows(h, 64, 2);
        const int tiles = (h + rows - 1) / rows;
        EXPECT_TRUE(tiles % 2 == 0 || tiles == h) << h;
        EXPECT_LE(rows, 64) << h;
    }
}

TEST(EngineColour, OpaqueCodesSurviveTheWorkingSpaceExactly) {
    ostrela::test::forEachSimdTarget([&] {
        // 256 × 3 pixels covering every code on every channel, forced through the float path.
        QImage img(256, 3, QImage::Format_ARGB32_Premultiplied);
        for (int x = 0; x < 256; ++x) {
            img.setPixel(x, 0, qRgba(x, 255 - x, x / 2, 255));
            img.setPixel(x, 1, qRgba(255 - x, x, 255, 255));
            img.setPixel(x, 2, qRgba(x / 3, x / 2, x, 255));
        }
        Image forced = Image::fromQImage(img).colorMatrix(identityMatrix());
        Renderer r(2, 1);
        QImage out = r.renderQImage(forced, {0, 0, 256, 3});
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 256; ++x) ASSERT_EQ(img.pixel(x, y), out.pixel(x, y)) << x << "," << y;
        EXPECT_NEAR(color::decodeComponent(128), 0.2158605, 1e-6);  // sRGB 128 in linear light
        EXPECT_EQ(color::encodeComponent(0.5f), 188);
    });
}

TEST(EngineColour, TransparentAndOutOfRangeValuesAreClampedOnWrite) {
    ostrela::test::forEachSimdTarget([&] {
        float px[12] = {2.0f, -1.0f, 0.5f, 1.0f, 0.25f, 0.25f, 0.25f, 0.5f, 0.3f, 0.3f, 0.3f, 0.0f};
        uint8_t out[12];
        color::encodeRow(px, 3, out);
        EXPECT_EQ(out[2], 255);  // R (BGRA order)
        EXPECT_EQ(out[1], 0);
        EXPECT_EQ(out[0], 188);
        EXPECT_EQ(out[3], 255);
        // Half-transparent linear 0.25 premultiplied is unpremultiplied 0.5 → 188, × 0.5 → 94.
        EXPECT_EQ(out[6], 94);
        EXPECT_EQ(out[7], 128);
        for (int i = 8; i < 12; ++i) EXPECT_EQ(out[i], 0);
    });
}

TEST(EngineGeometry, OriginIsBottomLeftAndRowsAreWrittenTopFirst) {
    QImage img = filled(4, 4, Qt::blue);
    for (int x = 0; x < 4; ++x) img.setPixel(x, 0, qRgb(255, 0, 0));  // top row red
    Image im = Image::fromQImage(img);
    EXPECT_EQ(im.extent(), (Rect{0, 0, 4, 4}));
    Renderer r(1, 64);
    QImage out = r.renderQImage(im, {0, 0, 4, 4});
    EXPECT_EQ(out.pixel(2, 0), qRgb(255, 0, 0));
    EXPECT_EQ(out.pixel(2, 1), qRgb(0, 0, 255));
    // Moving up by one pixel: the red row leaves the top, the bottom row becomes transparent.
    QImage up = r.renderQImage(im.translated(0, 1).colorMatrix(identityMatrix()), {0, 0, 4, 4});
    EXPECT_EQ(up.pixel(1, 0), qRgb(0, 0, 255));
    EXPECT_EQ(qAlpha(up.pixel(1, 3)), 0);
    // A render rectangle larger than the image is transparent outside it.
    QImage wide = r.renderQImage(im, {-2, -2, 8, 8});
    EXPECT_EQ(qAlpha(wide.pixel(0, 0)), 0);
    EXPECT_EQ(wide.pixel(2, 2), qRgb(255, 0, 0));
    EXPECT_EQ(wide.pixel(5, 5), qRgb(0, 0, 255));
}

TEST(EngineGeometry, ExtentsOfTheBasicOperations) {
    Image im = Image::fromQImage(filled(100, 50, Qt::white));
    EXPECT_EQ(im.translated(10, -5).extent(), (Rect{10, -5, 100, 50}));
    EXPECT_EQ(im.scaled(2, 3).extent(), (Rect{0, 0, 200, 150}));
    EXPECT_TRUE(im.clampedToExtent().extent().isInfinite());
    EXPECT_EQ(im.clampedToExtent().cropped({-10, -10, 20, 20}).extent(), (Rect{-10, -10, 20, 20}));
    EXPECT_EQ(im.cropped({50, 25, 100, 100}).extent(), (Rect{50, 25, 50, 25}));
    EXPECT_TRUE(im.cropped({200, 200, 5, 5}).isNull());
    EXPECT_TRUE(Image::solid(Color{1, 0, 0, 1}).extent().isInfinite());
    EXPECT_EQ(im.composited(im.translated(100, 0)).extent(), (Rect{0, 0, 200, 50}));
    // Translations compose into one node (one resampling, not two).
    Image twice = im.translated(0.5, 0).translated(0.5, 0);
    auto* t = dynamic_cast<const TransformNode*>(twice.node().get());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(dynamic_cast<const SourceNode*>(t->input(0)) != nullptr, true);
    EXPECT_DOUBLE_EQ(t->transform().tx, 1.0);
    Renderer r(1, 64);
    EXPECT_TRUE(r.renderQImage(Image(), {0, 0, 3, 3}).pixel(1, 1) == 0u);
}

TEST(EngineGeometry, ClampRepeatsEdgePixelsOutward) {
    QImage img(2, 2, QImage::Format_ARGB32_Premultiplied);
    img.setPixel(0, 0, qRgb(255, 0, 0));  // top left
    img.setPixel(1, 0, qRgb(0, 255, 0));
    img.setPixel(0, 1, qRgb(0, 0, 255));  // bottom left
    img.setPixel(1, 1, qRgb(255, 255, 255));
    Renderer r(1, 64);
    QImage out = r.renderQImage(Image::fromQImage(img).clampedToExtent(), {-3, -3, 8, 8});
    EXPECT_EQ(out.pixel(0, 0), qRgb(255, 0, 0));   // far above-left → top-left pixel
    EXPECT_EQ(out.pixel(7, 0), qRgb(0, 255, 0));
    EXPECT_EQ(out.pixel(0, 7), qRgb(0, 0, 255));
    EXPECT_EQ(out.pixel(7, 7), qRgb(255, 255, 255));
    EXPECT_EQ(out.pixel(3, 4), qRgb(0, 0, 255));   // inside
}

TEST(EngineCompositing, SourceOverInPremultipliedLinearLight) {
    Image red = Image::solid(Color{0.5f, 0, 0, 0.5f});   // half-transparent linear red
    Image blue = Image::solid(Color{0, 0, 1, 1});
    Renderer r(1, 64);
    std::vector<float> f = r.renderFloat(red.composited(blue), {0, 0, 2, 2});
    EXPECT_FLOAT_EQ(f[0], 0.5f);
    EXPECT_FLOAT_EQ(f[1], 0.0f);
    EXPECT_FLOAT_EQ(f[2], 0.5f);
    EXPECT_FLOAT_EQ(f[3], 1.0f);
    // A foreground crop only covers its own pixels.
    std::vector<float> g = r.renderFloat(red.cropped({1, 0, 1, 2}).composited(blue), {0, 0, 2, 1});
    EXPECT_FLOAT_EQ(g[0], 0.0f);
    EXPECT_FLOAT_EQ(g[4], 0.5f);
}

TEST(EngineColour, ConsecutiveColourMatricesFuseIntoOneStep) {
    ColorMatrix gain = identityMatrix();
    gain[0] = 0.5f;
    ColorMatrix bias = identityMatrix();
    bias[4] = 0.1f;  // + 0.1 on red
    ColorMatrix swap{};  // red ↔ blue
    swap[2] = 1; swap[6] = 1; swap[10] = 1; swap[18] = 1;
    Image src = Image::solid(Color{0.8f, 0.4f, 0.2f, 1.0f}).cropped({0, 0, 4, 4});
    Image chain = src.colorMatrix(gain).colorMatrix(bias).colorMatrix(swap);
    auto* pw = dynamic_cast<const PointwiseNode*>(chain.node().get());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(pw->ops().size(), 1u);
    Renderer r(1, 64);
    std::vector<float> f = r.renderFloat(chain, {0, 0, 1, 1});
    EXPECT_NEAR(f[0], 0.2f, 1e-6);   // blue moved to red
    EXPECT_NEAR(f[1], 0.4f, 1e-6);
    EXPECT_NEAR(f[2], 0.5f, 1e-6);   // 0.8 × 0.5 + 0.1 moved to blue
    EXPECT_NEAR(f[3], 1.0f, 1e-6);
    // Outside the input's extent the chain stays transparent, even with a bias.
    std::vector<float> out = r.renderFloat(chain, {10, 10, 1, 1});
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[3], 0.0f);
}

TEST(EngineRegions, RegionsOfInterestOfTheNodes) {
    Image src = Image::fromQImage(filled(64, 64, Qt::gray));
    const IRect dest{10, 20, 30, 40};
    BlurNode exact(src.node(), 2.0);
    EXPECT_EQ(exact.reduction(), 1);
    EXPECT_EQ(exact.radius(), 6);
    EXPECT_EQ(exact.roi(0, dest), (IRect{4, 14, 42, 52}));
    BlurNode reduced(src.node(), 6.0);
    EXPECT_EQ(reduced.reduction(), 2);
    IRect rr = reduced.roi(0, dest);
    EXPECT_EQ(rr.x % 2, 0);  // anchored on the reduced grid
    EXPECT_EQ(rr.y % 2, 0);
    EXPECT_LE(rr.x, dest.x - 18);  // at least 3σ
    EXPECT_GE(rr.maxX(), dest.maxX() + 18);
    TransformNode twice(src.node(), Affine::scale(2, 2));
    EXPECT_EQ(twice.roi(0, {0, 0, 100, 50}), (IRect{-1, -1, 52, 27}));
    TransformNode shift(src.node(), Affine::translation(5, -3));
    EXPECT_EQ(shift.roi(0, dest), (IRect{5, 23, 30, 40}));
    ClampNode clamp(src.node());
    EXPECT_EQ(clamp.roi(0, {-50, 10, 20, 100}), (IRect{0, 10, 1, 54}));
}

namespace {
// Reference: exact Gaussian (support 8σ) over the edge-clamped linear picture, in double.
std::vector<double> referenceBlur(const QImage& img, double sigma, int channel) {
    const int w = img.width(), h = img.height();
    std::vector<double> lin(size_t(w) * h), tmp(lin.size()), out(lin.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            QRgb p = img.pixel(x, h - 1 - y);
            int c = channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
            lin[size_t(y) * w + x] = color::srgbToLinear(c / 255.0);
        }
    const int R = int(std::ceil(8 * sigma));
    std::vector<double> k(2 * R + 1);
    double sum = 0;
    for (int i = -R; i <= R; ++i) sum += k[i + R] = std::exp(-0.5 * i * i / (sigma * sigma));
    for (double& v : k) v /= sum;
    auto at = [&](const std::vector<double>& v, int x, int y) {
        return v[size_t(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)];
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int i = -R; i <= R; ++i) s += k[i + R] * at(lin, x + i, y);
            tmp[size_t(y) * w + x] = s;
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int i = -R; i <= R; ++i) s += k[i + R] * at(tmp, x, y + i);
            out[size_t(y) * w + x] = s;
        }
    return out;
}

struct BlurError { double maxAbs; double meanAbs; };

BlurError blurError(const QImage& img, double sigma, bool soft = false) {
    const Image src = Image::fromQImage(img).clampedToExtent();
    Image im = soft ? src.softBlur(sigma) : src.gaussianBlur(sigma);
    Renderer r(2, 64);
    const int w = img.width(), h = img.height();
    std::vector<float> got = r.renderFloat(im, {0, 0, w, h});
    BlurError e{0, 0};
    for (int c = 0; c < 3; ++c) {
        std::vector<double> ref = referenceBlur(img, sigma, c);
        for (size_t i = 0; i < ref.size(); ++i) {
            double d = std::abs(ref[i] - got[i * 4 + c]);
            e.maxAbs = std::max(e.maxAbs, d);
            e.meanAbs += d;
        }
    }
    e.meanAbs /= double(w) * h * 3;
    return e;
}

// Hard vertical and horizontal edges plus a smooth gradient: the worst case for a reduced grid.
QImage edgesImage(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int r = ((x / 23) % 2) ? 255 : 0;
            int g = ((y / 17) % 2) ? 230 : 20;
            int b = (x * 255) / (w - 1);
            img.setPixel(x, y, qRgb(r, g, b));
        }
    return img;
}
}  // namespace

// Measured against the exact Gaussian, in linear units (0…1):
//   σ 2 (exact path, taps to 3σ):   max 0.004, mean < 0.001
//   σ 6 (reduced grid ×2):          max < 0.01, mean < 0.002
//   σ 12 (reduced grid ×4):         max < 0.01, mean < 0.002
TEST(EngineBlur, MatchesAnExactGaussian) {
    ostrela::test::forEachSimdTarget([&] {
        QImage edges = edgesImage(200, 150);
        BlurError e2 = blurError(edges, 2.0);
        EXPECT_LT(e2.maxAbs, 0.004);
        EXPECT_LT(e2.meanAbs, 0.001);
        BlurError e6 = blurError(edges, 6.0);
        EXPECT_LT(e6.maxAbs, 0.01);
        EXPECT_LT(e6.meanAbs, 0.002);
        BlurError e12 = blurError(edges, 12.0);
        EXPECT_LT(e12.maxAbs, 0.01);
        EXPECT_LT(e12.meanAbs, 0.002);
        BlurError noise = blurError(patternImage(160, 120), 6.0);
        EXPECT_LT(noise.maxAbs, 0.01);
        std::printf("blur error vs exact Gaussian (max/mean): s2 %.5f/%.5f s6 %.5f/%.5f s12 %.5f/%.5f noise-s6 %.5f/%.5f\n",
                    e2.maxAbs, e2.meanAbs, e6.maxAbs, e6.meanAbs, e12.maxAbs, e12.meanAbs, noise.maxAbs, noise.meanAbs);
    });
}

// A soft blur is made on the half grid from σ 2 on (a full-grid blur waits for σ 4), and is the
// full-grid blur when the plain chains are asked for. On hard edges every 17–23 pixels (the worst
// case; camera pictures do far better, see the looks' own tests) it is off by at most 8 levels
// of 255 and about one level on average.
TEST(EngineBlur, SoftBlursAreMadeOnTheHalfGridFromSigmaTwo) {
    const Image src = Image::fromQImage(edgesImage(60, 40)).clampedToExtent();
    const auto reduction = [](const Image& im) { return dynamic_cast<const BlurNode&>(*im.node()).reduction(); };
    EXPECT_EQ(reduction(src.softBlur(1.9)), 1);
    EXPECT_EQ(reduction(src.softBlur(2.0)), 2);
    EXPECT_EQ(reduction(src.softBlur(3.9)), 2);
    EXPECT_EQ(reduction(src.gaussianBlur(3.9)), 1);
    EXPECT_EQ(reduction(src.softBlur(9.0)), reduction(src.gaussianBlur(9.0)));
    setStraightforwardChains(true);
    EXPECT_EQ(reduction(src.softBlur(2.5)), 1);
    setStraightforwardChains(false);
    ostrela::test::forEachSimdTarget([&] {
        for (const double sigma : {2.0, 2.5, 3.5}) {
            const BlurError e = blurError(edgesImage(200, 150), sigma, true);
            EXPECT_LT(e.maxAbs, 8.0 / 255) << sigma;
            EXPECT_LT(e.meanAbs, 1.0 / 255) << sigma;
            std::printf("soft blur σ %.1f against the exact Gaussian: max %.2f, mean %.2f levels\n", sigma, e.maxAbs * 255, e.meanAbs * 255);
            EXPECT_GT(e.maxAbs, 1e-4) << "not the full-grid blur";
        }
    });
}

TEST(EngineBlur, PreservesAUniformPictureAndSpreadsAPoint) {
    ostrela::test::forEachSimdTarget([&] {
        Image grey = Image::solid(Color{0.3f, 0.3f, 0.3f, 1}).gaussianBlur(6);
        Renderer r(1, 64);
        std::vector<float> g = r.renderFloat(grey, {0, 0, 16, 16});
        for (size_t i = 0; i < g.size(); i += 4) ASSERT_NEAR(g[i], 0.3f, 1e-5);
        // An unclamped finite image fades out past its edge and the extent grows by the support.
        Image card = Image::fromQImage(filled(40, 40, Qt::white));
        Image soft = card.gaussianBlur(3);
        EXPECT_LT(soft.extent().x, -8);
        std::vector<float> f = r.renderFloat(soft, {-20, 20, 80, 1});
        // First pixel inside the edge (centre 0.5 px in): Φ(0.5 / 3) = 0.566 of the coverage.
        EXPECT_NEAR(f[20 * 4 + 3], 0.5662f, 0.005f);
        EXPECT_NEAR(f[19 * 4 + 3], 0.4338f, 0.005f);
        EXPECT_NEAR(f[40 * 4 + 3], 1.0f, 1e-3);   // well inside
        EXPECT_LT(f[5 * 4 + 3], 1e-3);            // well outside
    });
}

TEST(EngineThreads, PoolRunsEveryTaskOnceAcrossManyRounds) {
    ThreadPool pool(3);
    std::vector<std::atomic<int>> hits(50);
    for (int round = 0; round < 200; ++round) {
        pool.run(50, [&](int task, int worker) {
            ASSERT_GE(worker, 0);
            ASSERT_LT(worker, 3);
            hits[task].fetch_add(1);
        });
    }
    for (auto& h : hits) EXPECT_EQ(h.load(), 200);
}

TEST(EngineNoise, PureFunctionOfPixelCoordinatesAndUniform) {
    ostrela::test::forEachSimdTarget([&] {
        Image n = Image::noise();
        EXPECT_TRUE(n.extent().isInfinite());
        Renderer a(1, 720), b(2, 5);
        std::vector<float> fa = a.renderFloat(n, {-300, -200, 600, 400});
        std::vector<float> fb = b.renderFloat(n, {-300, -200, 600, 400});
        EXPECT_EQ(0, std::memcmp(fa.data(), fb.data(), fa.size() * sizeof(float)));
        // The same pixel seen through another rectangle has the same value.
        std::vector<float> one = a.renderFloat(n, {0, 0, 1, 1});
        const size_t at = (size_t(200) * 600 + 300) * 4;
        for (int c = 0; c < 4; ++c) EXPECT_EQ(one[c], fa[at + c]);
        // Uniform in 0…1 on every channel, channels and neighbours uncorrelated.
        for (int c = 0; c < 4; ++c) {
            double sum = 0, sq = 0, lo = 1, hi = 0, cross = 0;
            const size_t count = fa.size() / 4;
            for (size_t i = 0; i < count; ++i) {
                double v = fa[i * 4 + c];
                sum += v; sq += v * v; lo = std::min(lo, v); hi = std::max(hi, v);
                cross += (v - 0.5) * (fa[((i + 1) % count) * 4 + c] - 0.5);
            }
            EXPECT_NEAR(sum / count, 0.5, 0.005);
            EXPECT_NEAR(sq / count - (sum / count) * (sum / count), 1.0 / 12.0, 0.002);
            EXPECT_GE(lo, 0.0);
            EXPECT_LT(hi, 1.0);
            EXPECT_NEAR(cross / count, 0.0, 0.002);
        }
        // A half-pixel translation samples it bilinearly: the mean of two neighbours.
        std::vector<float> half = a.renderFloat(n.translated(0.5, 0), {10, 10, 1, 1});
        EXPECT_NEAR(half[0], 0.5f * (NoiseNode::value(9, 10, 0) + NoiseNode::value(10, 10, 0)), 1e-6);
    });
}

namespace {
// A filter defined outside the engine: the renderer needs nothing to run it.
class CountingNode final : public Node {
public:
    explicit CountingNode(NodePtr in) : in_(std::move(in)) {}
    Rect extent() const override { return in_->extent(); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        renders.fetch_add(1);
        ctx.renderInto(*in_, r, out);
        for (size_t i = 0; i < size_t(r.w) * r.h * 4; ++i) out[i] *= 0.5f;
    }
    mutable std::atomic<int> renders{0};

private:
    NodePtr in_;
};
}  // namespace

TEST(EngineTiles, ANodeWithSeveralConsumersRendersOncePerTile) {
    auto counted = std::make_shared<CountingNode>(Image::fromQImage(filled(256, 128, Qt::white)).node());
    Image shared(counted);
    ColorMatrix toRed{};
    toRed[0] = 1; toRed[18] = 1;
    // Two consumers of the same node for the same rectangle: the graded picture and itself.
    Image graph = shared.colorMatrix(toRed).composited(shared);
    Renderer r(2, 32);
    std::vector<float> f = r.renderFloat(graph, {0, 0, 256, 128});
    EXPECT_EQ(counted->renders.load(), 4);  // 128 rows / 32 = 4 tiles
    // Half white (0.5 linear) seen red-only over half white: r = 0.5 + 0.5 × 0.5, g = 0.5 × 0.5.
    EXPECT_NEAR(f[0], 0.75f, 1e-6);
    EXPECT_NEAR(f[1], 0.25f, 1e-6);
}

TEST(EngineBands, ComputedOncePicturesAreTheirChainsAndOutliveThePool) {
    // A chain read by a blur and by a moved copy of itself, once through computedOnce and once
    // as it is. The wide picture needs bands from more than one slab; the narrow one, made
    // in between, is cut from slabs of its own size.
    auto graphOf = [](const Image& chain, bool once) {
        const Image c = once ? computedOnce(chain) : chain;
        return c.translated(2, 0).composited(c.gaussianBlur(3.0)).cropped(chain.extent());
    };
    auto wide = std::make_shared<CountingNode>(Image::fromQImage(patternImage(2000, 420, true)).translated(-7, 5).node());
    auto narrow = std::make_shared<CountingNode>(Image::fromQImage(patternImage(301, 97)).translated(3, -40).node());
    const IRect wr{-7, 5, 2000, 420}, nr{3, -40, 301, 97};
    Renderer one(1, 16), two(2, 24);
    const std::vector<float> wideRef = one.renderFloat(graphOf(Image(wide), false), wr);
    const std::vector<float> narrowRef = one.renderFloat(graphOf(Image(narrow), false), nr);

    const Image wideOnce = graphOf(Image(wide), true);
    wide->renders = 0;
    EXPECT_EQ(one.renderFloat(wideOnce, wr), wideRef);
    EXPECT_EQ(wide->renders.load(), 14);  // rows 5..424 lie in bands 0..13 of 32 rows, each made once

    // The pool lets go of its free bands (a look switch) while the picture still holds its own;
    // new bands are then cut and written for another picture, on two threads.
    releaseIdleBands();
    EXPECT_EQ(two.renderFloat(graphOf(Image(narrow), true), nr), narrowRef);
    EXPECT_EQ(two.renderFloat(graphOf(Image(wide), true), wr), wideRef);
    // The first picture's bands were kept and not overwritten: read again, nothing is remade.
    wide->renders = 0;
    EXPECT_EQ(two.renderFloat(wideOnce, wr), wideRef);
    EXPECT_EQ(wide->renders.load(), 0);
}
