#include "pipeline/engine/Schedule.h"

#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelKernels.h"
#include "pipeline/engine/PixelRuns.h"
#include "pipeline/engine/Renderer.h"

#include <algorithm>
#include <vector>
#include <functional>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <mutex>
#include <unordered_map>

namespace ostrela::engine {

// ---- Materialised pictures ----

namespace {

using Pixels = PixelStore;

// Pixels of a rectangle, linear premultiplied RGBA, bottom row first.
class BufferNode final : public Node {
public:
    BufferNode(std::shared_ptr<const Pixels> pixels, const IRect& bounds, const Rect& extent, Image halfGrid = {})
        : pixels_(std::move(pixels)), bounds_(bounds), extent_(extent), halfGrid_(std::move(halfGrid)) {}
    Rect extent() const override { return extent_; }
    const std::shared_ptr<const Pixels>& pixels() const { return pixels_; }
    const Image& halfGrid() const { return halfGrid_; }
    PixelView view() const { return {pixels_->data(), bounds_}; }
    const float* storedPixels(IRect* bounds) const override {
        *bounds = bounds_;
        return pixels_->data();
    }
    void render(TileContext&, const IRect& r, float* out) const override {
        const IRect in = r.intersected(bounds_);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        for (int j = 0; j < in.h; ++j) {
            const float* src = pixels_->data() + (size_t(in.y - bounds_.y + j) * bounds_.w + (in.x - bounds_.x)) * 4;
            std::memcpy(out + (size_t(in.y - r.y + j) * r.w + (in.x - r.x)) * 4, src, size_t(in.w) * 4 * sizeof(float));
        }
    }

private:
    std::shared_ptr<const Pixels> pixels_;
    IRect bounds_;
    Rect extent_;
    Image halfGrid_;  // the pixels reduced 2×2, where they were gathered as they were made
};

// Renders graphs into float buffers on the shared workers. Buffers no longer referenced by any
// image are reused, so steady state allocates nothing. Shared by every effect object as engine
// machinery: it keeps no picture of its own, and one call runs at a time.
class Materializer {
public:
    Materializer() : pool_(ThreadPool::machine()) {}

    int workers() const { return pool_->size(); }

    // `over`, when given, is the rectangle to keep (it contains the extent's pixels; the rest
    // of it is transparent), so readers of a margin around the picture can read it in place.
    Image run(const Image& image, int tileRows = 64, const IRect* over = nullptr, const TileWatcher* watch = nullptr) {
        std::lock_guard<std::mutex> hold(mutex_);
        const Rect e = image.extent();
        if (image.isNull() || e.isInfinite() || e.isEmpty()) return image;
        const IRect b = over ? *over : pixelBounds(e);
        if (b.isEmpty()) return image;
        std::shared_ptr<Pixels> buf = take(size_t(b.w) * b.h * 4);
        planFrame(image.node().get(), plan_);  // as the frame renderer does
        const Node& root = *image.node();
        const int rows = std::clamp(tileRows, 1, b.h), tiles = (b.h + rows - 1) / rows;
        float* dst = buf->data();
        pool_->run(tiles, [&](int task, int) {
            const int y0 = b.y + task * rows, h = std::min(rows, b.maxY() - y0);
            const DenormalsFlushed flushed;  // as in the frame renderer
            TileContext ctx(Arena::ofThisThread(), &plan_);
            const size_t at = size_t(y0 - b.y) * b.w * 4;
            ctx.setStoredOut(&root);
            ctx.renderInto(root, {b.x, y0, b.w, h}, dst + at);
            if (watch) (*watch)({b.x, y0, b.w, h}, dst + at);
            ctx.endTile();
        });
        return Image(std::make_shared<BufferNode>(std::move(buf), b, e));
    }

    std::shared_ptr<Pixels> pooled(size_t floats) {
        std::lock_guard<std::mutex> hold(mutex_);
        return take(floats);
    }

    size_t bytes() {
        std::lock_guard<std::mutex> hold(mutex_);
        size_t n = 0;
        for (const Pooled& p : free_) n += p.pixels->size() * sizeof(float);
        return n;
    }

    // Lets go of every buffer no image holds.
    void releaseIdle() {
        std::lock_guard<std::mutex> hold(mutex_);
        free_.erase(std::remove_if(free_.begin(), free_.end(), [](const Pooled& p) { return p.pixels.use_count() == 1; }),
                    free_.end());
        // The threads' scratch grows to the largest tile a look asked for.
        Arena::releaseIdle();
    }

private:

    // The smallest free buffer that holds `floats` without wasting half of itself. Pictures whose
    // size changes from frame to frame (a crop that follows the time) fit a buffer made a little
    // larger; buffers no frame has asked for in a while are let go.
    std::shared_ptr<Pixels> take(size_t floats) {
        ++takes_;
        // Buffers no frame has asked for in a while go (the bands a look's first frame was made in).
        free_.erase(std::remove_if(free_.begin(), free_.end(),
                                   [&](const Pooled& p) { return p.pixels.use_count() == 1 && takes_ - p.lastTake > kKeepTakes; }),
                    free_.end());
        Pooled* best = nullptr;
        for (Pooled& p : free_)
            if (p.pixels.use_count() == 1 && p.pixels->size() >= floats &&
                p.pixels->size() <= floats + floats / 2 && (!best || p.pixels->size() < best->pixels->size()))
                best = &p;
        if (best) {
            best->lastTake = takes_;
            return best->pixels;
        }
        // A free buffer a little too small is the same picture grown: the new one serves it too.
        free_.erase(std::remove_if(free_.begin(), free_.end(),
                                   [&](const Pooled& p) {
                                       return p.pixels.use_count() == 1 && p.pixels->size() < floats &&
                                              p.pixels->size() >= floats - floats / 3;
                                   }),
                    free_.end());
        free_.push_back({std::make_shared<Pixels>(floats + floats / 16), takes_});
        return free_.back().pixels;
    }

    std::mutex mutex_;
    std::shared_ptr<ThreadPool> pool_;
    struct Pooled {
        std::shared_ptr<Pixels> pixels;
        uint64_t lastTake;
    };
    static constexpr uint64_t kKeepTakes = 64;  // a few frames' worth of pictures
    std::vector<Pooled> free_;
    uint64_t takes_ = 0;
    FramePlan plan_;
};

Materializer& materializer() {
    static Materializer* m = new Materializer();  // kept for the life of the process
    return *m;
}

// The pixels of `image` over b, made in bands of 128 rows and handed tile by tile to onTile on
// the worker that made them, while they are still in cache (transparent beyond the picture). The
// stored picture each band is made in goes back to the pool, so none as large as b is held.
void makeInBands(const Image& image, const IRect& b, const TileWatcher& onTile) {
    constexpr int kBand = 128;
    for (int y = b.y; y < b.maxY(); y += kBand) {
        const IRect band{b.x, y, b.w, std::min(kBand, b.maxY() - y)};
        materializer().run(image.cropped(Rect{double(band.x), double(band.y), double(band.w), double(band.h)}),
                           balancedTileRows(band.h, 64), &band, &onTile);
    }
}

}  // namespace

namespace {
// Per thread: the switch applies to the graphs the calling thread builds, so renders on other
// threads are untouched.
thread_local bool gStraightforward = false;

// One pixel sampled the plain way: the four neighbours that lie inside the buffer.
inline void sampleEdge(const float* src, const IRect& b, double sx, double sy, float* o) {
    const double fx = std::floor(sx), fy = std::floor(sy);
    float acc[4] = {0, 0, 0, 0};
    if (std::abs(fx) < 1e9 && std::abs(fy) < 1e9) {
        const int x0 = int(fx) - b.x, y0 = int(fy) - b.y;
        const float wx = float(sx - fx), wy = float(sy - fy);
        auto add = [&](int x, int y, float w) {
            if (x < 0 || y < 0 || x >= b.w || y >= b.h || w == 0.0f) return;
            const float* p = src + (size_t(y) * b.w + x) * 4;
            for (int c = 0; c < 4; ++c) acc[c] += w * p[c];
        };
        add(x0, y0, (1 - wx) * (1 - wy));
        add(x0 + 1, y0, wx * (1 - wy));
        add(x0, y0 + 1, (1 - wx) * wy);
        add(x0 + 1, y0 + 1, wx * wy);
    }
    std::memcpy(o, acc, sizeof acc);
}

// Bilinear sampling straight from a pixel buffer; the same weights and rules as the engine's
// sampler (pixel centres at +0.5, transparent outside the buffer).
class ResampleNode final : public Node {
public:
    ResampleNode(Image source, PixelView view, const Affine& t, const Rect& extent)
        : source_(std::move(source)), view_(view), inv_(t.inverted()), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        const IRect& b = view_.bounds;
        int* edges = reinterpret_cast<int*>(ctx.alloc(size_t(r.w)));
        // Four output rows ahead, in source pixels: a rotated read walks across many source rows
        // per output row, so the rows a few output rows ahead are prefetched.
        const double pfx = 4 * inv_.c, pfy = 4 * inv_.d;
        for (int j = 0; j < r.h; ++j) {
            const double py = r.y + j + 0.5, px0 = r.x + 0.5;
            const double sx = inv_.a * px0 + inv_.c * py + inv_.tx - 0.5;
            const double sy = inv_.b * px0 + inv_.d * py + inv_.ty - 0.5;
            float* o = out + size_t(j) * r.w * 4;
            const int ne = kernels::resampleRow(view_.data, b.x, b.y, b.w, b.h, sx, sy, inv_.a, inv_.b, pfx, pfy, r.w, o, edges);
            // Points whose neighbours are not all inside: the ones that are, as the sampler does.
            for (int e = 0; e < ne; ++e) {
                const int i = edges[e];
                sampleEdge(view_.data, b, sx + i * inv_.a, sy + i * inv_.b, o + 4 * i);
            }
        }
        detail::clearOutside(out, r, extent_);
    }

private:
    Image source_;  // keeps the pixels alive
    PixelView view_;
    Affine inv_;
    Rect extent_;
};
}  // namespace

// ---- Pictures kept across frames ----

class KeptPattern {
public:
    static constexpr int kBlock = 128;
    // Beyond this the blocks read longest ago are dropped (made again if needed).
    static constexpr size_t kMaxBytes = size_t(64) << 20;
    struct Block {
        bool sparse = false;
        float common[4] = {0, 0, 0, 0};
        std::vector<SparsePixels::Point> points;  // sparse: the pixels unlike common
        std::vector<float> pixels;                // whole: bottom row first
        size_t bytes() const {
            return sizeof(Block) + 64 + points.size() * sizeof(SparsePixels::Point) + pixels.size() * sizeof(float);
        }
    };
    using BlockPtr = std::shared_ptr<const Block>;

    static int floorDiv(int v) { return v >= 0 ? v / kBlock : -((-v + kBlock - 1) / kBlock); }

    // Block (bx, by), made from `image` on first need. A thread that needs a block another is
    // making waits for it (two bands of a frame often share a block).
    BlockPtr block(const Node& image, int bx, int by) {
        const int64_t key = (int64_t(bx) << 32) ^ uint32_t(by);
        std::promise<BlockPtr> making;
        std::unique_lock<std::mutex> lock(mutex_);
        auto it = blocks_.find(key);
        if (it != blocks_.end()) {
            it->second.used = ++clock_;
            const std::shared_future<BlockPtr> f = it->second.block;
            lock.unlock();
            return f.get();
        }
        const uint64_t id = ++clock_;
        blocks_.emplace(key, Entry{making.get_future().share(), id, id, 0});
        lock.unlock();
        BlockPtr made;
        try {
            made = make(image, {bx * kBlock, by * kBlock, kBlock, kBlock});
        } catch (...) {
            // Out of memory: the waiting threads fail with this one, and the next frame tries again.
            making.set_exception(std::current_exception());
            lock.lock();
            if (auto e = blocks_.find(key); e != blocks_.end() && e->second.id == id) blocks_.erase(e);
            throw;
        }
        making.set_value(made);
        lock.lock();
        it = blocks_.find(key);
        if (it == blocks_.end() || it->second.id != id) return made;  // dropped meanwhile
        it->second.bytes = made->bytes();
        bytes_ += it->second.bytes;
        while (bytes_ > kMaxBytes) {
            // The made block read longest ago (those being made count nothing yet).
            auto oldest = blocks_.end();
            for (auto e = blocks_.begin(); e != blocks_.end(); ++e)
                if (e->second.bytes > 0 && (oldest == blocks_.end() || e->second.used < oldest->second.used)) oldest = e;
            if (oldest == blocks_.end()) break;
            bytes_ -= oldest->second.bytes;
            blocks_.erase(oldest);
        }
        return made;
    }
    size_t bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

private:
    static BlockPtr make(const Node& image, const IRect& b) {
        auto out = std::make_shared<Block>();
        const size_t n = size_t(b.w) * b.h;
        // Made in buffers of its own: the tile's arena would keep a block's worth per block made
        // (a dozen in a band of the first frame) as its size for every later frame. A pattern kept
        // inside another's picture is made while the outer one is: it takes buffers of the moment.
        thread_local std::vector<float> threadScratch;
        thread_local Arena threadArena;
        thread_local int depth = 0;
        std::vector<float> nestedScratch;
        Arena nestedArena;
        std::vector<float>& scratch = depth == 0 ? threadScratch : nestedScratch;
        Arena& arena = depth == 0 ? threadArena : nestedArena;
        scratch.resize(4 * n);
        float* px = scratch.data();
        {
            struct Depth {
                int& d;
                explicit Depth(int& v) : d(++v) {}
                ~Depth() { --d; }
            } nested(depth);
            TileContext own(arena);
            own.renderInto(image, b, px);
            own.endTile();
        }
        arena.reset();
        // The common value: the first pixel's, or failing that the middle one's.
        for (size_t probe : {size_t(0), n / 2}) {
            const float* c = px + 4 * probe;
            size_t unlike = 0;
            for (size_t i = 0; i < n && unlike <= n / 16; ++i)
                unlike += std::memcmp(px + 4 * i, c, 4 * sizeof(float)) != 0;
            if (unlike > n / 16) continue;
            out->sparse = true;
            std::memcpy(out->common, c, sizeof(out->common));
            out->points.reserve(unlike);
            for (size_t i = 0; i < n; ++i)
                if (std::memcmp(px + 4 * i, c, 4 * sizeof(float)) != 0) {
                    SparsePixels::Point p{b.x + int(i % size_t(b.w)), b.y + int(i / size_t(b.w)), {}};
                    std::memcpy(p.v, px + 4 * i, sizeof(p.v));
                    out->points.push_back(p);
                }
            return out;
        }
        out->pixels.assign(px, px + 4 * n);
        return out;
    }

    struct Entry {
        std::shared_future<BlockPtr> block;
        uint64_t used;  // clock_ when last asked for
        uint64_t id;    // clock_ when made
        size_t bytes;   // 0 while being made
    };

    mutable std::mutex mutex_;
    std::unordered_map<int64_t, Entry> blocks_;
    size_t bytes_ = 0;
    uint64_t clock_ = 0;
};

namespace {

class KeptPatternNode final : public Node {
public:
    KeptPatternNode(NodePtr in, std::shared_ptr<KeptPattern> store) : in_(std::move(in)), store_(std::move(store)) {}
    Rect extent() const override { return in_->extent(); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    // The input is read by blocks, not over the rectangles asked for.
    IRect roi(int, const IRect&) const override { return {}; }
    bool grey() const override { return in_->grey(); }

    void render(TileContext&, const IRect& r, float* out) const override {
        forBlocks(r, [&](const IRect& b, const KeptPattern::Block& k) {
            const IRect q = b.intersected(r);
            for (int y = q.y; y < q.maxY(); ++y) {
                float* o = out + (size_t(y - r.y) * r.w + (q.x - r.x)) * 4;
                if (!k.sparse) {
                    std::memcpy(o, k.pixels.data() + (size_t(y - b.y) * b.w + (q.x - b.x)) * 4, size_t(q.w) * 4 * sizeof(float));
                    continue;
                }
                for (int x = 0; x < q.w; ++x) std::memcpy(o + 4 * x, k.common, sizeof(k.common));
            }
            for (const SparsePixels::Point& p : k.points)
                if (p.x >= q.x && p.x < q.maxX() && p.y >= q.y && p.y < q.maxY()) std::memcpy(out + (size_t(p.y - r.y) * r.w + (p.x - r.x)) * 4, p.v, sizeof(p.v));
        });
    }

    bool sparse(TileContext&, const IRect& r, SparsePixels& out) const override {
        if (r.isEmpty() || double(r.w) * r.h > double(1 << 24)) return false;
        out.points.clear();
        bool first = true, ok = true;
        forBlocks(r, [&](const IRect& b, const KeptPattern::Block& k) {
            if (!ok) return;
            if (!k.sparse || (!first && std::memcmp(out.common, k.common, sizeof(k.common)) != 0)) {
                ok = false;
                return;
            }
            first = false;
            std::memcpy(out.common, k.common, sizeof(k.common));
            const IRect q = b.intersected(r);
            for (const SparsePixels::Point& p : k.points)
                if (p.x >= q.x && p.x < q.maxX() && p.y >= q.y && p.y < q.maxY()) out.points.push_back(p);
        });
        out.region = r;
        return ok;
    }

private:
    template <class F>
    void forBlocks(const IRect& r, F f) const {
        if (r.isEmpty()) return;
        for (int by = KeptPattern::floorDiv(r.y); by <= KeptPattern::floorDiv(r.maxY() - 1); ++by)
            for (int bx = KeptPattern::floorDiv(r.x); bx <= KeptPattern::floorDiv(r.maxX() - 1); ++bx) {
                const KeptPattern::BlockPtr k = store_->block(*in_, bx, by);
                f(IRect{bx * KeptPattern::kBlock, by * KeptPattern::kBlock, KeptPattern::kBlock, KeptPattern::kBlock}, *k);
            }
    }
    NodePtr in_;
    std::shared_ptr<KeptPattern> store_;
};

}  // namespace

std::shared_ptr<KeptPattern> keptPatternStore() { return std::make_shared<KeptPattern>(); }

Image keptPattern(const Image& image, const std::shared_ptr<KeptPattern>& store) {
    if (image.isNull() || !store || straightforwardChains()) return image;
    return Image(std::make_shared<KeptPatternNode>(image.node(), store));
}

size_t keptPatternBytes(const KeptPattern& store) { return store.bytes(); }

// ---- Rows kept across frames ----

namespace {
// Rows of a picture over columns [x0, x0 + w): row y in slot y mod cap, rows [y0, y0 + n) held.
struct RowRing {
    int x0 = 0, w = 0, y0 = 0, n = 0, cap = 0;
    // Each slot is written before it is read, so the rows are never zeroed first.
    std::vector<float, LargeAllocator<float>> px;
    size_t at(int y) const { return size_t(((y % cap) + cap) % cap) * size_t(w) * 4; }
    float* slot(int y) { return px.data() + at(y); }
    const float* row(int y) const { return px.data() + at(y); }
};

class KeptRowsNode final : public Node, public RowSource {
public:
    KeptRowsNode(std::shared_ptr<const RowRing> ring, const IRect& px, const Rect& extent)
        : ring_(std::move(ring)), px_(px), extent_(extent) {}
    Rect extent() const override { return extent_; }
    void render(TileContext&, const IRect& r, float* out) const override {
        const IRect in = r.intersected(px_);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        for (int y = in.y; y < in.maxY(); ++y)
            std::memcpy(out + (size_t(y - r.y) * r.w + (in.x - r.x)) * 4, rowIn(nullptr, y, in.x, in.maxX()),
                        size_t(in.w) * 4 * sizeof(float));
    }
    const void* readyRows(TileContext&, const IRect& r) const override {
        return !r.isEmpty() && px_.contains(r) ? this : nullptr;
    }
    const float* rowIn(const void*, int y, int xa, int) const override {
        return ring_->row(y) + size_t(xa - ring_->x0) * 4;
    }
    void rowOf(const void*, int y, int xa, int xb, float* out) const override {
        std::memcpy(out, rowIn(nullptr, y, xa, xb), size_t(xb - xa) * 4 * sizeof(float));
    }
    bool rowsLieInMemory() const override { return true; }

private:
    std::shared_ptr<const RowRing> ring_;
    IRect px_;
    Rect extent_;
};
}  // namespace

class KeptRows {
public:
    // Two rings: a frame's graph may still be held, even rendered, while the next one is built,
    // and it reads rows that nobody writes meanwhile. Null when both are held.
    std::shared_ptr<const RowRing> rowsOver(const Image& fixed, const IRect& over) {
        std::lock_guard<std::mutex> lock(mutex_);
        // The free ring that holds most of the rows asked for (one not made yet holds none).
        std::shared_ptr<RowRing>* mine = nullptr;
        int best = -2;
        for (auto& g : rings_) {
            const int held = g ? overlap(*g, over) : -1;
            if ((!g || g.use_count() == 1) && held > best) mine = &g, best = held;
        }
        if (!mine) return nullptr;
        if (!*mine) *mine = std::make_shared<RowRing>();
        RowRing& g = **mine;
        if (g.x0 != over.x || g.w != over.w || g.cap < over.h) {
            g = RowRing{};
            g.x0 = over.x, g.w = over.w, g.cap = over.h + 8;
            g.px.resize(size_t(g.w) * 4 * size_t(g.cap));
        }
        const int first = over.y, last = over.maxY();
        const int keepLo = std::max(first, g.y0), keepHi = std::min(last, g.y0 + g.n);
        const bool keeps = g.n > 0 && keepHi > keepLo;
        g.n = 0;  // holds nothing for certain until the fill has gone through
        if (!keeps) {
            fill(g, fixed, first, last);
        } else {
            fill(g, fixed, first, keepLo);
            fill(g, fixed, keepHi, last);
        }
        g.y0 = first, g.n = over.h;
        return *mine;
    }
    size_t bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t b = 0;
        for (const auto& g : rings_)
            if (g) b += g->px.size() * sizeof(float);
        return b;
    }

private:
    static int overlap(const RowRing& g, const IRect& over) {
        if (g.x0 != over.x || g.w != over.w) return 0;
        return std::max(0, std::min(over.maxY(), g.y0 + g.n) - std::max(over.y, g.y0));
    }
    // Rows [lo, hi) made afresh, each tile copied into its slots while it is still in cache; in
    // bands, so the pool does not keep a picture as large as the whole ring while the look runs.
    static void fill(RowRing& g, const Image& fixed, int lo, int hi) {
        RowRing* gp = &g;
        makeInBands(fixed, {g.x0, lo, g.w, hi - lo}, [gp](const IRect& t, const float* px) {
            for (int j = 0; j < t.h; ++j)
                std::memcpy(gp->slot(t.y + j) + size_t(t.x - gp->x0) * 4, px + size_t(j) * t.w * 4,
                            size_t(t.w) * 4 * sizeof(float));
        });
    }

    mutable std::mutex mutex_;
    std::shared_ptr<RowRing> rings_[2];
};

std::shared_ptr<KeptRows> keptRowsStore() { return std::make_shared<KeptRows>(); }

Image keptRows(const Image& fixed, const IRect& over, const std::shared_ptr<KeptRows>& store) {
    const Rect r{double(over.x), double(over.y), double(over.w), double(over.h)};
    if (fixed.isNull()) return fixed;
    // Only pixels the picture has are kept; the rest reads as transparent.
    const IRect px = fixed.extent().isInfinite() ? over : over.intersected(pixelBounds(fixed.extent()));
    if (!store || px.isEmpty() || gStraightforward) return fixed.cropped(r);
    std::shared_ptr<const RowRing> rows = store->rowsOver(fixed, px);
    if (!rows) return fixed.cropped(r);
    return Image(std::make_shared<KeptRowsNode>(std::move(rows), px, fixed.extent().intersected(r)));
}

size_t keptRowsBytes(const KeptRows& store) { return store.bytes(); }

void setStraightforwardChains(bool on) { gStraightforward = on; }
bool straightforwardChains() { return gStraightforward; }

int balancedTileRows(int height, int tileRows) {
    return balancedTileRows(height, tileRows, materializer().workers(), true);
}

namespace {
int rowsFor(const Image& image, int tileRows) {
    const Rect e = image.extent();
    if (image.isNull() || e.isInfinite() || e.isEmpty()) return tileRows;
    return balancedTileRows(pixelBounds(e).h, tileRows);
}
}  // namespace

Image materialize(const Image& image, int tileRows) {
    return gStraightforward ? image : materializer().run(image, rowsFor(image, tileRows));
}

Image materializeOver(const Image& image, const IRect& over, int tileRows) {
    return gStraightforward ? image : materializer().run(image, tileRows, &over);
}

Image materializeForBlur(const Image& image, double sigma, int move) {
    const Rect e = image.extent();
    if (image.isNull() || e.isInfinite() || e.isEmpty()) return materialize(image);
    const IRect px = pixelBounds(e);
    const IRect margin = BlurNode(image.node(), sigma).roi(0, px.grown(move, move));
    const int x0 = std::min(px.x, margin.x), y0 = std::min(px.y, margin.y);
    return materializeOver(image, {x0, y0, std::max(px.maxX(), margin.maxX()) - x0, std::max(px.maxY(), margin.maxY()) - y0});
}

namespace {
// A picture's pixels at half precision, widened a row piece at a time where it is read (a run
// reads it without a buffer of the tile). The halves live in a buffer of the stored pictures'
// pool (two to a float), so keeping a picture each frame reuses the pages of the one let go.
class HalvesNode final : public Node, public RowSource {
public:
    HalvesNode(std::shared_ptr<const PixelStore> store, const IRect& bounds, const Rect& extent)
        : store_(std::move(store)), bounds_(bounds), extent_(extent) {}
    Rect extent() const override { return extent_; }
    size_t bytes() const { return size_t(bounds_.w) * bounds_.h * 4 * sizeof(uint16_t); }
    void render(TileContext&, const IRect& r, float* out) const override {
        for (int j = 0; j < r.h; ++j) rowOf(nullptr, r.y + j, r.x, r.maxX(), out + size_t(j) * r.w * 4);
    }
    const void* readyRows(TileContext&, const IRect&) const override { return this; }
    const uint16_t* halvesIn(const void*, int y, int xa, int xb) const override {
        if (y < bounds_.y || y >= bounds_.maxY() || xa < bounds_.x || xb > bounds_.maxX()) return nullptr;
        return halves() + (size_t(y - bounds_.y) * bounds_.w + (xa - bounds_.x)) * 4;
    }
    void rowOf(const void*, int y, int xa, int xb, float* out) const override {
        const int a = std::clamp(xa, bounds_.x, bounds_.maxX()), b = std::clamp(xb, a, bounds_.maxX());
        if (y < bounds_.y || y >= bounds_.maxY() || a == b) {
            std::memset(out, 0, size_t(xb - xa) * 4 * sizeof(float));
            return;
        }
        std::memset(out, 0, size_t(a - xa) * 4 * sizeof(float));
        kernels::fromHalves(halves() + (size_t(y - bounds_.y) * bounds_.w + (a - bounds_.x)) * 4, size_t(b - a) * 4, out + size_t(a - xa) * 4);
        std::memset(out + size_t(b - xa) * 4, 0, size_t(xb - b) * 4 * sizeof(float));
    }

private:
    const uint16_t* halves() const { return reinterpret_cast<const uint16_t*>(store_->data()); }
    std::shared_ptr<const PixelStore> store_;
    IRect bounds_;
    Rect extent_;
};
}  // namespace

Image keptInHalves(const Image& image) {
    const Rect e = image.extent();
    if (gStraightforward || image.isNull() || e.isInfinite() || e.isEmpty()) return image;
    const PixelView v = pixelsOf(image);
    const IRect b = v ? pixelBounds(e).intersected(v.bounds) : pixelBounds(e);
    if (b.isEmpty()) return Image::empty();
    const size_t values = size_t(b.w) * b.h * 4;
    std::shared_ptr<PixelStore> store = pooledPixels((values + 1) / 2);
    uint16_t* halves = reinterpret_cast<uint16_t*>(store->data());
    const auto keep = [&](int y, const float* row) { kernels::toHalves(row, size_t(b.w) * 4, halves + size_t(y - b.y) * b.w * 4); };
    if (v) {
        // In bands on the workers: the picture was just made, and this is on the frame's path.
        std::shared_ptr<ThreadPool> pool = ThreadPool::machine();
        const int bands = pool->size() * 4, rows = (b.h + bands - 1) / bands;
        pool->run(bands, [&](int task, int) {
            for (int y = b.y + task * rows; y < std::min(b.maxY(), b.y + (task + 1) * rows); ++y) keep(y, v.at(b.x, y));
        });
    } else {
        // Made in bands, each tile kept while its rows are in cache: the whole picture is never
        // held in floats.
        makeInBands(image, b, [&](const IRect& t, const float* px) {
            for (int j = 0; j < t.h; ++j) keep(t.y + j, px + size_t(j) * t.w * 4);
        });
        // A picture is kept so when a look starts (a grain for its extent): the band's buffer and
        // the scratch its tiles grew would otherwise stay idle while the look runs.
        materializer().releaseIdle();
    }
    return Image(std::make_shared<HalvesNode>(std::move(store), b, e));
}

size_t storedBytes(const Image& image) {
    const PixelView v = pixelsOf(image);
    if (v) return size_t(v.bounds.w) * v.bounds.h * 4 * sizeof(float);
    auto* h = dynamic_cast<const HalvesNode*>(image.node().get());
    return h ? h->bytes() : 0;
}

Image materializeInBands(const Image& image) {
    if (gStraightforward) return image;
    const Rect e = image.extent();
    if (image.isNull() || e.isInfinite() || e.isEmpty()) return image;
    const int h = pixelBounds(e).h, n = std::max(1, materializer().workers());
    return materializer().run(image, (h + n - 1) / n);
}

Image materializeWatched(const Image& image, int tileRows, const TileWatcher& onTile) {
    return gStraightforward ? image : materializer().run(image, tileRows, nullptr, &onTile);
}

std::shared_ptr<PixelStore> pooledPixels(size_t floats) { return materializer().pooled(floats); }

void releaseIdlePixels() { materializer().releaseIdle(); }

size_t pooledPixelBytes() { return materializer().bytes(); }

Image storedImage(std::shared_ptr<const PixelStore> pixels, const IRect& bounds, const Rect& extent) {
    return Image(std::make_shared<BufferNode>(std::move(pixels), bounds, extent));
}

namespace detail {
Image withHalfGrid(const Image& stored, const Image& grid) {
    auto* b = dynamic_cast<const BufferNode*>(stored.node().get());
    return b ? Image(std::make_shared<BufferNode>(b->pixels(), b->view().bounds, b->extent(), grid)) : stored;
}

NodePtr keptHalfGrid(const Node& node) {
    auto* b = dynamic_cast<const BufferNode*>(&node);
    return b ? b->halfGrid().node() : nullptr;
}
}  // namespace detail

bool isMaterialized(const Image& image) { return dynamic_cast<const BufferNode*>(image.node().get()) != nullptr; }

PixelView pixelsOf(const Image& image) {
    auto* b = dynamic_cast<const BufferNode*>(image.node().get());
    return b ? b->view() : PixelView{};
}

Image resampled(const Image& image, const Affine& t, const Rect& extent) {
    if (gStraightforward || image.isNull()) return image.transformed(t).cropped(extent);
    Image src = image;
    PixelView v = pixelsOf(src);
    if (!v) {
        // A turn reads every source row from many output tiles: the source is evaluated once,
        // over the pixels the move reads (with the sampler's taps).
        const Rect reads = t.inverted().mapRect(extent);
        if (reads.isInfinite() || image.extent().isInfinite()) return image.transformed(t).cropped(extent);
        const IRect whole = pixelBounds(image.extent()), r = enclosingIRect(reads).grown(1, 1).intersected(whole);
        if (r.isEmpty()) return Image::empty();
        src = materialize(r == whole ? image : image.cropped({double(r.x), double(r.y), double(r.w), double(r.h)}));
        v = pixelsOf(src);
        if (!v) return image.transformed(t).cropped(extent);
    }
    const Rect e = t.mapRect(image.extent()).intersected(extent);
    if (e.isEmpty()) return Image::empty();
    return Image(std::make_shared<ResampleNode>(src, v, t, e));
}

// ---- Band cache ----
//
// A blur asks for its input over the tile grown by its reach, and the step that blends the glow
// back asks for the tile itself, so everything before a bloom is computed about 2.4 times per
// frame (and an input used twice at different rectangles once per use). Between such a chain
// and its consumers this node keeps the chain's pixels in bands of rows, each computed once per
// frame by whichever render thread needs it first. Band memory is pooled between frames.

namespace {

// A band's pixels, cut from a slab of several megabytes: bands are made afresh after a look
// switch, and a slab's pages come in as huge pages, where a band of its own (under 2 MB) faulted
// in 4 KB pages one by one, most of a look's first frame. Written in full by the band's render
// before anything reads them, so never zeroed. The slab lives while any band cut from it does.
class BandBuffer {
public:
    BandBuffer() = default;
    BandBuffer(std::shared_ptr<PixelStore> slab, float* data, size_t floats)
        : slab_(std::move(slab)), data_(data), floats_(floats) {}
    float* data() const { return data_; }
    size_t size() const { return floats_; }
    bool empty() const { return data_ == nullptr; }

private:
    std::shared_ptr<PixelStore> slab_;
    float* data_ = nullptr;
    size_t floats_ = 0;
};

class BandPool {
public:
    static BandPool& shared() {
        static BandPool* p = new BandPool();  // kept for the process
        return *p;
    }
    BandBuffer take(size_t floats) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < free_.size(); ++i)
            if (free_[i].size() == floats) {
                BandBuffer v = std::move(free_[i]);
                free_.erase(free_.begin() + long(i));
                return v;
            }
        // Cut from the open slab of this size, or open one.
        auto open = std::find_if(open_.begin(), open_.end(), [&](const Open& o) { return o.floats == floats; });
        if (open == open_.end() || open->next == open->count) {
            if (open == open_.end()) open = open_.insert(open_.end(), Open{floats, 0, 0, nullptr});
            open->count = std::max<size_t>(1, kSlabFloats / floats);
            open->next = 0;
            open->slab = std::make_shared<PixelStore>(open->count * floats);
        }
        float* data = open->slab->data() + open->next++ * floats;
        return BandBuffer(open->slab, data, floats);
    }
    void give(BandBuffer&& v) {
        std::lock_guard lock(mutex_);
        if (free_.size() < 96) free_.push_back(std::move(v));
    }
    void clear() {
        std::lock_guard lock(mutex_);
        free_.clear();
        open_.clear();  // what was not cut yet goes with the slabs' last bands
    }

private:
    static constexpr size_t kSlabFloats = (size_t(8) << 20) / sizeof(float);
    struct Open {
        size_t floats, count, next;
        std::shared_ptr<PixelStore> slab;
    };
    std::mutex mutex_;
    std::vector<BandBuffer> free_;
    std::vector<Open> open_;
};

class BandCacheNode final : public Node, public RowSource {
public:
    static constexpr int kBandRows = 32;
    explicit BandCacheNode(NodePtr in)
        : in_(std::move(in)), ext_(in_->extent()), px_(pixelBounds(ext_)) {
        if (px_.isEmpty()) return;
        band0_ = floorDiv(px_.y);
        const int last = floorDiv(px_.maxY() - 1);
        const size_t n = size_t(last - band0_ + 1);
        state_ = std::make_unique<std::atomic<int>[]>(n);
        for (size_t i = 0; i < n; ++i) state_[i].store(0);
        bands_.resize(n);
    }
    ~BandCacheNode() override {
        for (auto& b : bands_)
            if (!b.empty()) BandPool::shared().give(std::move(b));
    }
    Rect extent() const override { return ext_; }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return in_.get(); }
    bool grey() const override { return in_->grey(); }

    void render(TileContext& ctx, const IRect& r, float* out) const override {
        const IRect in = r.intersected(px_);
        if (!(in == r)) std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        if (in.isEmpty()) return;
        visit(ctx, in, [&](const IRect& part, const float* src, size_t stride) {
            for (int y = part.y; y < part.maxY(); ++y)
                std::memcpy(out + (size_t(y - r.y) * r.w + (part.x - r.x)) * 4, src + size_t(y - part.y) * stride * 4,
                            size_t(part.w) * 4 * sizeof(float));
        });
    }

    // Calls f(part, pixels, stride in pixels) for the parts of `in` (inside the picture) that lie
    // in one band each, with the band's own memory where it is filled.
    void visit(TileContext& ctx, const IRect& in, const CachedRowsFn& f) const {
        for (int b = floorDiv(in.y); b <= floorDiv(in.maxY() - 1); ++b) {
            const IRect band = IRect{px_.x, b * kBandRows, px_.w, kBandRows}.intersected(px_);
            const IRect part = in.intersected(band);
            const size_t i = size_t(b - band0_);
            const float* src = nullptr;
            IRect srcRect;
            int expected = 0;
            if (state_[i].load(std::memory_order_acquire) == 2) {
                src = bands_[i].data();
                srcRect = band;
            } else if (state_[i].compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
                BandBuffer buf = BandPool::shared().take(size_t(band.w) * band.h * 4);
                ctx.renderInto(*in_, band, buf.data());  // straight into the band, no staging copy
                bands_[i] = std::move(buf);
                state_[i].store(2, std::memory_order_release);
                src = bands_[i].data();
                srcRect = band;
            } else {
                // Another thread is filling this band: compute the part here rather than wait.
                src = ctx.pull(*in_, part);
                srcRect = part;
            }
            f(part, src + (size_t(part.y - srcRect.y) * srcRect.w + (part.x - srcRect.x)) * 4, size_t(srcRect.w));
        }
    }
    const IRect& pixels() const { return px_; }

    // Rows read where they lie: the bands over r made (or, where another thread is making one,
    // its part computed here), and where each part's pixels start.
    const void* readyRows(TileContext& ctx, const IRect& r) const override {
        if (r.isEmpty() || !(r.intersected(px_) == r)) return nullptr;
        const int first = floorDiv(r.y), n = floorDiv(r.maxY() - 1) - first + 1;
        auto* parts = reinterpret_cast<Part*>(ctx.alloc((sizeof(Part) * size_t(n + 1) + sizeof(float) - 1) / sizeof(float)));
        parts[0] = {nullptr, first, 0, 0};  // header: the first band
        visit(ctx, r, [&](const IRect& part, const float* p, size_t stride) {
            parts[1 + floorDiv(part.y) - first] = {p, part.y, part.x, stride};
        });
        return parts;
    }
    const float* rowIn(const void* state, int y, int xa, int) const override {
        const auto* parts = static_cast<const Part*>(state);
        const Part& p = parts[1 + floorDiv(y) - parts[0].y];
        return p.pixels + (size_t(y - p.y) * p.stride + size_t(xa - p.x)) * 4;
    }
    void rowOf(const void* state, int y, int xa, int xb, float* out) const override {
        std::memcpy(out, rowIn(state, y, xa, xb), size_t(xb - xa) * 4 * sizeof(float));
    }
    bool rowsLieInMemory() const override { return true; }

private:
    struct Part {
        const float* pixels;  // at (x, y)
        int y, x;
        size_t stride;  // pixels
    };
    static int floorDiv(int v) { return v >= 0 ? v / kBandRows : -((-v + kBandRows - 1) / kBandRows); }
    NodePtr in_;
    Rect ext_;
    IRect px_;
    int band0_ = 0;
    std::unique_ptr<std::atomic<int>[]> state_;
    mutable std::vector<BandBuffer> bands_;
};

}  // namespace

void releaseIdleBands() { BandPool::shared().clear(); }

Image computedOnce(const Image& image) {
    if (image.isNull() || image.extent().isInfinite() || image.extent().isEmpty()) return image;
    return Image(std::make_shared<BandCacheNode>(image.node()));
}

namespace {

// A computedOnce picture clamped to its extent, its rows read from the bands (one copy, where the
// engine's clamp would copy the pulled rows a second time).
class ClampedBandsNode final : public Node {
public:
    explicit ClampedBandsNode(std::shared_ptr<const BandCacheNode> cache) : cache_(std::move(cache)) {}
    Rect extent() const override { return Rect::infinite(); }
    int inputCount() const override { return 1; }
    const Node* input(int) const override { return cache_.get(); }
    IRect roi(int, const IRect& dest) const override { return clampedRect(dest); }
    bool grey() const override { return cache_->grey(); }
    void render(TileContext& ctx, const IRect& r, float* out) const override {
        const IRect px = cache_->pixels();
        const IRect in = clampedRect(r);
        cache_->visit(ctx, in, [&](const IRect& part, const float* p, size_t stride) {
            const int mid0 = std::clamp(px.x - r.x, 0, r.w), mid1 = std::clamp(px.maxX() - r.x, 0, r.w);
            for (int j = 0; j < r.h; ++j) {
                const int sy = std::clamp(r.y + j, px.y, px.maxY() - 1);
                if (sy < part.y || sy >= part.maxY()) continue;
                const float* srow = p + size_t(sy - part.y) * stride * 4;
                float* o = out + size_t(j) * r.w * 4;
                for (int i = 0; i < mid0; ++i) std::memcpy(o + 4 * i, srow, 4 * sizeof(float));
                if (mid1 > mid0)
                    std::memcpy(o + 4 * mid0, srow + size_t(r.x + mid0 - part.x) * 4, size_t(mid1 - mid0) * 4 * sizeof(float));
                const float* last = srow + size_t(part.w - 1) * 4;
                for (int i = std::max(mid1, mid0); i < r.w; ++i) std::memcpy(o + 4 * i, last, 4 * sizeof(float));
            }
        });
    }

private:
    IRect clampedRect(const IRect& dest) const {
        const IRect px = cache_->pixels();
        const int x0 = std::clamp(dest.x, px.x, px.maxX() - 1), x1 = std::clamp(dest.maxX() - 1, px.x, px.maxX() - 1) + 1;
        const int y0 = std::clamp(dest.y, px.y, px.maxY() - 1), y1 = std::clamp(dest.maxY() - 1, px.y, px.maxY() - 1) + 1;
        return {x0, y0, x1 - x0, y1 - y0};
    }
    std::shared_ptr<const BandCacheNode> cache_;
};

}  // namespace

Image clampedToExtent(const Image& image) {
    if (auto cache = std::dynamic_pointer_cast<const BandCacheNode>(image.node()); cache && !cache->pixels().isEmpty())
        return Image(std::make_shared<ClampedBandsNode>(cache));
    return image.clampedToExtent();
}

void cachedRows(const Node& node, TileContext& ctx, const IRect& r, const CachedRowsFn& f) {
    if (r.isEmpty()) return;
    if (auto* cache = dynamic_cast<const BandCacheNode*>(&node)) {
        const IRect in = r.intersected(cache->pixels());
        if (in == r) {
            cache->visit(ctx, r, f);
            return;
        }
    }
    f(r, ctx.pull(node, r), size_t(r.w));
}

}  // namespace ostrela::engine
