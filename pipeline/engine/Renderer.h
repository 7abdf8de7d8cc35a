#pragma once
// The renderer: evaluates an image over a rectangle in horizontal tiles spread across a
// persistent pool of threads, and writes BGRA8 premultiplied sRGB, top row first.
// Each thread owns one arena, reused from tile to tile by every pass it runs (frames, stored
// pictures), so steady-state rendering allocates nothing but graph nodes.
#include "pipeline/engine/Image.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrela::engine {

struct FramePlan;

// Denormals are invisible in 8-bit output but slow every float operation: a tile is rendered with
// them flushed to zero (the processor's float control while this lives; restored after).
class DenormalsFlushed {
public:
    DenormalsFlushed();
    ~DenormalsFlushed();
    DenormalsFlushed(const DenormalsFlushed&) = delete;
    DenormalsFlushed& operator=(const DenormalsFlushed&) = delete;

private:
    unsigned saved_;
};

// Bump allocator of float buffers; reset after every tile, blocks kept for the next one. When
// tiles outgrow the first block, one block as large as the most a tile took replaces them.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();
    float* alloc(size_t floats);
    void reset();
    size_t capacityFloats() const;
    size_t blockCount() const { return blocks_.size(); }
    // Where the next buffer would go; resetTo(mark) takes back everything allocated since, so a
    // pass started inside another's tile on the same thread leaves the outer tile's buffers be.
    struct Mark {
        size_t block, used;
    };
    Mark mark() const;
    void resetTo(const Mark& m);

    // The calling thread's arena. Every pass a thread works on (frames of any renderer, pictures
    // made to be stored) takes its tiles' scratch from it: one scratch per thread, sized by the
    // largest tile it has met, rather than one per renderer and one per kind of pass.
    static Arena& ofThisThread();
    // Frees the blocks of every thread's arena that no tile is using at the moment (when a look
    // is switched away: the next tile grows them again to what it needs).
    static void releaseIdle();
    // Bytes all threads' arenas hold.
    static size_t threadBytes();

private:
    friend class TileContext;
    // Tiles open on this arena: releaseIdle leaves it be while there are any.
    void enter();
    void leave();
    void freeBlocks();
    struct Block { float* data; size_t size; size_t used; };
    std::vector<Block> blocks_;
    size_t current_ = 0;
    size_t used_ = 0, peak_ = 0;  // floats handed out now, and the most at once
    std::mutex users_;
    int open_ = 0;
};

// What a node's render sees: buffers from the thread's arena and its inputs, evaluated through
// their regions of interest. An input pulled twice for the same rectangle in one tile (a node
// with several consumers) is rendered once.
class TileContext {
public:
    // `plan`: the graph's nodes with more than one consumer (kept in the tile cache) and the
    // fused passes that stand in for runs of row nodes.
    TileContext(Arena& arena, const FramePlan* plan = nullptr) : arena_(arena), plan_(plan) {
        arena_.enter();  // first: an idle arena may be freed under a mark taken before
        start_ = arena_.mark();
    }
    ~TileContext() { arena_.leave(); }
    TileContext(const TileContext&) = delete;
    TileContext& operator=(const TileContext&) = delete;
    float* alloc(size_t floats) { return arena_.alloc(floats); }
    float* allocPixels(const IRect& r) { return arena_.alloc(size_t(r.w) * size_t(r.h) * 4); }
    // The input rendered over r; valid until the tile ends. Do not write to it.
    const float* pull(const Node& node, const IRect& r);
    // Renders node over r straight into caller memory (no copy unless it was already cached).
    void renderInto(const Node& node, const IRect& r, float* out);
    void endTile();
    // The node rendered straight into a stored picture, read much later (its writes may bypass
    // the caches).
    void setStoredOut(const Node* node) { storedOut_ = node; }
    const Node* storedOut() const { return storedOut_; }

private:
    struct Entry { const Node* node; IRect rect; const float* data; };
    const float* cached(const Node& node, const IRect& r) const;
    // Copies r out of a cached rectangle of the node that holds it; false when none does.
    bool copyFromCached(const Node& node, const IRect& r, float* out) const;
    bool isShared(const Node& node) const;
    void renderNode(const Node& node, const IRect& r, float* out);
    Arena& arena_;
    const FramePlan* plan_;
    Arena::Mark start_{};  // endTile gives back what this context took, no more
    const Node* storedOut_ = nullptr;
    std::vector<Entry> cache_;
};

class ThreadPool {
public:
    explicit ThreadPool(int threads);  // total workers including the calling thread
    ~ThreadPool();
    // The process's pool of `threads` workers, made on first use and shared by every renderer that
    // asks for that many: one set of threads for the whole program, not one per renderer.
    static std::shared_ptr<ThreadPool> shared(int threads);
    // The shared pool renderers use by default: one worker per processor, at most 16.
    static std::shared_ptr<ThreadPool> machine();
    int size() const { return int(workers_.size()) + 1; }
    // Runs job(task, worker) for task = 0 … tasks−1 across all workers; returns when all are done.
    // One pass at a time uses the workers: a pass asked for while they are busy (from another
    // thread, or from inside a job) runs on its caller's thread, as worker 0.
    void run(int tasks, const std::function<void(int task, int worker)>& job);

private:
    void workerLoop(int index);
    void drain(int worker);
    std::vector<std::thread> workers_;
    std::mutex runMutex_;  // held by the pass using the workers
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(int, int)>* job_ = nullptr;
    int tasks_ = 0;
    int next_ = 0;
    int finished_ = 0;
    int busy_ = 0;
    uint64_t round_ = 0;
    bool quit_ = false;
    // Mirrors of round_ and finished_ that spinning threads read without the lock.
    std::atomic<uint64_t> posted_{0};
    std::atomic<int> finishedPosted_{0};
};

// Rows per tile for a pass over `height` rows asked to use about `tileRows`: a whole number of
// tiles per worker, all of about one height, since a short last tile leaves the other workers
// idle at the end of the pass. `even` rounds to even rows (so 2×2 cells never straddle tiles).
int balancedTileRows(int height, int tileRows, int workers, bool even = false);

// The nodes of the graph under `root` that have more than one consumer (kept per tile by a
// TileContext), into `shared`; `consumers` is scratch kept by the caller between frames.
void findSharedNodes(const Node* root, std::vector<const Node*>& shared,
                     std::vector<std::pair<const Node*, int>>& consumers);

class Renderer {
public:
    // threads ≤ 0: one per core. tileRows: rows per tile (the whole rectangle when ≥ its height).
    explicit Renderer(int threads = 0, int tileRows = 64);
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Renders rect into dst: BGRA8 premultiplied sRGB, rect's top row first, rows `stride` apart.
    void render(const Image& image, const IRect& rect, uint8_t* dst, size_t stride);
    // Same into linear premultiplied RGBA floats, bottom row first (for tests and tools).
    std::vector<float> renderFloat(const Image& image, const IRect& rect);
    // Premultiplied ARGB32 image of rect (top row first).
    QImage renderQImage(const Image& image, const IRect& rect);

    int tileRows() const { return tileRows_; }
    void setTileRows(int rows) { tileRows_ = rows > 0 ? rows : 64; }
    int threadCount() const { return pool_->size(); }
    // Whether runs of row nodes are rendered as fused passes (on by default; the same pixels).
    void setFusedRuns(bool on) { fuse_ = on; }
    // Bytes held by the threads' arenas (flat once warmed up), which this renderer's tiles share
    // with every other pass. Arena::releaseIdle gives them back.
    size_t arenaBytes() const;

private:
    template <typename WriteTile>
    void runTiles(const IRect& rect, WriteTile&& write);
    std::shared_ptr<ThreadPool> pool_;
    std::unique_ptr<FramePlan> plan_;  // kept between frames
    int tileRows_;
    bool fuse_ = true;
};

}  // namespace ostrela::engine
