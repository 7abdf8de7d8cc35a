#include "pipeline/engine/Renderer.h"

#include "pipeline/engine/ColorSpace.h"
#include "pipeline/engine/LargeBuffers.h"
#include "pipeline/engine/Nodes.h"
#include "pipeline/engine/PixelRuns.h"
#include "pipeline/engine/SimdTargets.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include <hwy/cache_control.h>

namespace ostrela::engine {

// The SSE control register's flush-to-zero and denormals-are-zero bits (processor control, not
// vector code; other processors keep their default).
DenormalsFlushed::DenormalsFlushed() : saved_(0) {
#if defined(__x86_64__) || defined(__i386__)
    saved_ = __builtin_ia32_stmxcsr();
    __builtin_ia32_ldmxcsr(saved_ | 0x8040u);
#endif
}
DenormalsFlushed::~DenormalsFlushed() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_ldmxcsr(saved_);
#endif
}

// ---- Arena ----

namespace {
constexpr size_t kBlockFloats = size_t(1) << 20;  // 4 MiB
constexpr size_t kAlignFloats = 16;               // 64 bytes
}  // namespace

Arena::~Arena() { freeBlocks(); }

void Arena::freeBlocks() {
    for (auto& b : blocks_) freeLarge(b.data, b.size * sizeof(float));
    blocks_.clear();
    current_ = 0;
    used_ = peak_ = 0;
}

float* Arena::alloc(size_t n) {
    n = (n + kAlignFloats - 1) / kAlignFloats * kAlignFloats;
    while (current_ < blocks_.size() && blocks_[current_].size - blocks_[current_].used < n) ++current_;
    if (current_ == blocks_.size()) {
        size_t size = std::max(n, kBlockFloats);
        float* data = static_cast<float*>(allocateLarge(size * sizeof(float)));
        std::lock_guard lock(users_);
        blocks_.push_back({data, size, 0});
    }
    Block& b = blocks_[current_];
    float* p = b.data + b.used;
    b.used += n;
    used_ += n;
    peak_ = std::max(peak_, used_);
    return p;
}

void Arena::reset() { resetTo({0, 0}); }

Arena::Mark Arena::mark() const { return {current_, current_ < blocks_.size() ? blocks_[current_].used : 0}; }

void Arena::resetTo(const Mark& m) {
    for (size_t i = m.block; i < blocks_.size(); ++i) {
        const size_t keep = i == m.block ? m.used : 0;
        used_ -= blocks_[i].used - keep;
        blocks_[i].used = keep;
    }
    current_ = m.block;
    if (m.block == 0 && m.used == 0 && blocks_.size() > 1) {
        // The tiles outgrew the first block: one block as large as the most they took at once
        // holds them without the tail each block left unused (a tile's buffers are 1–2 MB).
        constexpr size_t kHugePage = size_t(1) << 19;  // floats in 2 MiB
        const size_t size = (peak_ + kHugePage - 1) / kHugePage * kHugePage;
        float* data = static_cast<float*>(allocateLarge(size * sizeof(float)));
        std::lock_guard lock(users_);
        for (auto& b : blocks_) freeLarge(b.data, b.size * sizeof(float));
        blocks_.assign(1, {data, size, 0});
    }
}

void Arena::enter() {
    std::lock_guard lock(users_);
    ++open_;
}

void Arena::leave() {
    std::lock_guard lock(users_);
    --open_;
}

namespace {
// Every thread's arena, for giving idle ones back and for counting them.
struct ThreadArenas {
    std::mutex mutex;
    std::vector<Arena*> all;
};
ThreadArenas& threadArenas() {
    static auto* a = new ThreadArenas();  // kept for the life of the process
    return *a;
}
struct OwnArena {
    Arena arena;
    OwnArena() {
        std::lock_guard lock(threadArenas().mutex);
        threadArenas().all.push_back(&arena);
    }
    ~OwnArena() {
        std::lock_guard lock(threadArenas().mutex);
        auto& all = threadArenas().all;
        all.erase(std::find(all.begin(), all.end(), &arena));
    }
};
}  // namespace

Arena& Arena::ofThisThread() {
    thread_local OwnArena own;
    return own.arena;
}

void Arena::releaseIdle() {
    std::lock_guard lock(threadArenas().mutex);
    for (Arena* a : threadArenas().all) {
        std::lock_guard busy(a->users_);
        if (a->open_ == 0) a->freeBlocks();
    }
}

size_t Arena::threadBytes() {
    std::lock_guard lock(threadArenas().mutex);
    size_t n = 0;
    for (Arena* a : threadArenas().all) {
        std::lock_guard busy(a->users_);
        n += a->capacityFloats() * sizeof(float);
    }
    return n;
}

size_t Arena::capacityFloats() const {
    size_t s = 0;
    for (auto& b : blocks_) s += b.size;
    return s;
}

// ---- Tile context ----

const float* TileContext::cached(const Node& node, const IRect& r) const {
    for (const Entry& e : cache_)
        if (e.node == &node && e.rect == r) return e.data;
    return nullptr;
}

bool TileContext::isShared(const Node& node) const {
    return plan_ && std::find(plan_->shared.begin(), plan_->shared.end(), &node) != plan_->shared.end();
}

void TileContext::renderNode(const Node& node, const IRect& r, float* out) {
    if (!plan_) {
        node.render(*this, r, out);
        return;
    }
    const Arena::Mark mark = arena_.mark();
    const size_t entries = cache_.size();
    plan_->standIn(node).render(*this, r, out);
    // What the node pulled for itself is done with once its pixels are out, unless it pulled a
    // node that other readers of the tile will ask for: give it back, so a tile holds the
    // buffers of one path through the graph at a time rather than of every node it rendered.
    for (size_t i = entries; i < cache_.size(); ++i)
        if (isShared(*cache_[i].node)) return;
    cache_.resize(entries);
    arena_.resetTo(mark);
}

bool TileContext::copyFromCached(const Node& node, const IRect& r, float* out) const {
    for (const Entry& e : cache_) {
        if (e.node != &node || !(e.rect.intersected(r) == r)) continue;
        // A stencil pulled its input with a margin; a second reader wants the middle.
        for (int j = 0; j < r.h; ++j)
            std::memcpy(out + size_t(j) * r.w * 4, e.data + (size_t(r.y - e.rect.y + j) * e.rect.w + size_t(r.x - e.rect.x)) * 4,
                        size_t(r.w) * 4 * sizeof(float));
        return true;
    }
    return false;
}

const float* TileContext::pull(const Node& node, const IRect& r) {
    if (const float* hit = cached(node, r)) return hit;
    float* buf = allocPixels(r);
    if (copyFromCached(node, r, buf)) {
        cache_.push_back({&node, r, buf});
        return buf;
    }
    if (pixelBounds(node.extent()).intersected(r).isEmpty())
        std::memset(buf, 0, size_t(r.w) * r.h * 4 * sizeof(float));
    else
        renderNode(node, r, buf);
    cache_.push_back({&node, r, buf});
    return buf;
}

void TileContext::renderInto(const Node& node, const IRect& r, float* out) {
    if (r.isEmpty()) return;
    const float* hit = cached(node, r);
    if (!hit && copyFromCached(node, r, out)) return;
    if (!hit && isShared(node)) hit = pull(node, r);
    if (hit) {
        std::memcpy(out, hit, size_t(r.w) * r.h * 4 * sizeof(float));
        return;
    }
    if (pixelBounds(node.extent()).intersected(r).isEmpty()) {
        std::memset(out, 0, size_t(r.w) * r.h * 4 * sizeof(float));
        return;
    }
    renderNode(node, r, out);
}

void TileContext::endTile() {
    cache_.clear();
    arena_.resetTo(start_);
}

// ---- Thread pool ----

ThreadPool::ThreadPool(int threads) {
    for (int i = 1; i < std::max(1, threads); ++i) workers_.emplace_back([this, i] { workerLoop(i); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        posted_.store(round_ + 1, std::memory_order_release);  // ends any spin
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
}

std::shared_ptr<ThreadPool> ThreadPool::shared(int threads) {
    static std::mutex m;
    static std::vector<std::shared_ptr<ThreadPool>>* pools = new std::vector<std::shared_ptr<ThreadPool>>();  // kept for the life of the process
    std::lock_guard lock(m);
    for (auto& p : *pools)
        if (p->size() == std::max(1, threads)) return p;
    pools->push_back(std::make_shared<ThreadPool>(threads));
    return pools->back();
}

namespace {
// The pool whose job this thread is running, if any.
thread_local const ThreadPool* tRunning = nullptr;
}  // namespace

void ThreadPool::drain(int worker) {
    std::unique_lock lock(mutex_);
    while (next_ < tasks_) {
        int task = next_++;
        const auto* job = job_;
        ++busy_;
        lock.unlock();
        tRunning = this;
        (*job)(task, worker);
        tRunning = nullptr;
        lock.lock();
        --busy_;
        finishedPosted_.store(++finished_, std::memory_order_release);
        if (finished_ == tasks_) done_.notify_all();
    }
}

namespace {
// How long a thread that ran out of work watches for more before it sleeps: a frame's passes
// follow one another within microseconds, and waking a sleeping thread takes longer than that.
constexpr auto kSpin = std::chrono::microseconds(60);

template <class Done>
void spinFor(Done done) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (int i = 0; !done(); ++i) {
        hwy::Pause();
        if ((i & 63) == 63 && std::chrono::steady_clock::now() > until) return;
    }
}
}  // namespace

void ThreadPool::workerLoop(int index) {
    uint64_t seen = 0;
    for (;;) {
        spinFor([&] { return posted_.load(std::memory_order_acquire) != seen; });
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return quit_ || round_ != seen; });
            if (quit_) return;
            seen = round_;
        }
        drain(index);
    }
}

void ThreadPool::run(int tasks, const std::function<void(int, int)>& job) {
    if (tasks <= 0) return;
    // A pass that finds the workers busy with another thread's pass runs on its own thread rather
    // than waiting: waiting could deadlock against a job that needs a lock the caller holds.
    std::unique_lock turn(runMutex_, std::defer_lock);
    if (workers_.empty() || tasks == 1 || tRunning == this || !turn.try_lock()) {
        for (int t = 0; t < tasks; ++t) job(t, 0);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        tasks_ = tasks;
        next_ = 0;
        finished_ = 0;
        finishedPosted_.store(0, std::memory_order_relaxed);
        posted_.store(++round_, std::memory_order_release);
    }
    wake_.notify_all();
    drain(0);
    spinFor([&] { return finishedPosted_.load(std::memory_order_acquire) == tasks; });
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return finished_ == tasks_ && busy_ == 0; });
    job_ = nullptr;
    tasks_ = 0;
}

// ---- Renderer ----

namespace {
int defaultThreads() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : int(std::min(n, 16u));
}

// A rectangle that is a plain copy of a source's pixels: crops that keep all of it and
// whole-pixel translations over one 8-bit image. Copying is exact where decode+encode would be.
const SourceNode* plainSource(const Node* node, IRect r, int* offX, int* offY) {
    int ox = 0, oy = 0;
    for (;;) {
        if (auto* s = dynamic_cast<const SourceNode*>(node)) {
            if (!pixelBounds(s->extent()).contains(r)) return nullptr;
            *offX = ox;
            *offY = oy;
            return s;
        }
        if (auto* c = dynamic_cast<const CropNode*>(node)) {
            if (!pixelBounds(c->extent()).contains(r)) return nullptr;
            node = c->input(0);
            continue;
        }
        if (auto* t = dynamic_cast<const TransformNode*>(node)) {
            int dx, dy;
            if (!t->isIntegerTranslation(&dx, &dy)) return nullptr;
            r.x -= dx; r.y -= dy; ox += dx; oy += dy;
            node = t->input(0);
            continue;
        }
        return nullptr;
    }
}
}  // namespace

std::shared_ptr<ThreadPool> ThreadPool::machine() { return shared(defaultThreads()); }

Renderer::Renderer(int threads, int tileRows)
    : pool_(ThreadPool::shared(threads > 0 ? threads : defaultThreads())), plan_(std::make_unique<FramePlan>()),
      tileRows_(tileRows > 0 ? tileRows : 64) {
    simd::init();
}

Renderer::~Renderer() = default;

size_t Renderer::arenaBytes() const {
    return Arena::threadBytes();
}

void findSharedNodes(const Node* root, std::vector<const Node*>& shared,
                     std::vector<std::pair<const Node*, int>>& consumers) {
    shared.clear();
    consumers.clear();
    if (!root) return;
    // Count consumers over the graph; a node reached twice is not descended into again.
    std::vector<const Node*> stack{root};
    consumers.push_back({root, 1});
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        for (int i = 0; i < n->inputCount(); ++i) {
            const Node* in = n->input(i);
            if (!in) continue;
            auto it = std::find_if(consumers.begin(), consumers.end(), [in](auto& p) { return p.first == in; });
            if (it != consumers.end()) {
                if (++it->second == 2) shared.push_back(in);
                continue;
            }
            consumers.push_back({in, 1});
            stack.push_back(in);
        }
    }
}

int balancedTileRows(int height, int tileRows, int workers, bool even) {
    const int w = std::max(1, workers), rows = std::max(1, tileRows);
    if (height <= 0) return rows;
    const int tiles = std::min(height, w * ((height + w * rows - 1) / (w * rows)));
    int r = (height + tiles - 1) / tiles;
    if (even) r = std::min(r + (r & 1), std::max(rows, 2));
    return r;
}

template <typename WriteTile>
void Renderer::runTiles(const IRect& rect, WriteTile&& write) {
    const int rows = balancedTileRows(rect.h, tileRows_, pool_->size());
    const int tiles = (rect.h + rows - 1) / rows;
    pool_->run(tiles, [&](int task, int worker) {
        // Tile 0 is the top of the rectangle, so destination rows are written in order.
        int top = rect.maxY() - task * rows;
        int h = std::min(rows, top - rect.y);
        IRect tile{rect.x, top - h, rect.w, h};
        const DenormalsFlushed flushed;
        TileContext ctx(Arena::ofThisThread(), plan_.get());
        write(ctx, tile, task * rows);
        ctx.endTile();
    });
}

void Renderer::render(const Image& image, const IRect& rect, uint8_t* dst, size_t stride) {
    if (rect.isEmpty() || !dst) return;
    const Node* root = image.node().get();
    planFrame(root, *plan_, fuse_);
    int ox = 0, oy = 0;
    const SourceNode* plain = root ? plainSource(root, rect, &ox, &oy) : nullptr;
    runTiles(rect, [&](TileContext& ctx, const IRect& tile, int firstRow) {
        if (!root) {
            for (int j = 0; j < tile.h; ++j) std::memset(dst + size_t(firstRow + j) * stride, 0, size_t(tile.w) * 4);
            return;
        }
        if (plain) {
            const QImage& q = plain->image();
            for (int j = 0; j < tile.h; ++j) {
                int y = tile.maxY() - 1 - j - oy;  // source-space row, y up
                const uchar* s = q.constScanLine(q.height() - 1 - y) + size_t(tile.x - ox) * 4;
                std::memcpy(dst + size_t(firstRow + j) * stride, s, size_t(tile.w) * 4);
            }
            return;
        }
        float* buf = ctx.allocPixels(tile);
        ctx.renderInto(*root, tile, buf);
        for (int j = 0; j < tile.h; ++j)
            color::encodeRow(buf + size_t(tile.h - 1 - j) * tile.w * 4, tile.w, dst + size_t(firstRow + j) * stride);
    });
}

std::vector<float> Renderer::renderFloat(const Image& image, const IRect& rect) {
    std::vector<float> out(size_t(std::max(rect.w, 0)) * std::max(rect.h, 0) * 4, 0.0f);
    if (rect.isEmpty() || image.isNull()) return out;
    const Node* root = image.node().get();
    planFrame(root, *plan_, fuse_);
    runTiles(rect, [&](TileContext& ctx, const IRect& tile, int) {
        ctx.renderInto(*root, tile, out.data() + size_t(tile.y - rect.y) * rect.w * 4);
    });
    return out;
}

QImage Renderer::renderQImage(const Image& image, const IRect& rect) {
    QImage q(std::max(rect.w, 1), std::max(rect.h, 1), QImage::Format_ARGB32_Premultiplied);
    if (q.isNull()) return q;
    q.fill(Qt::transparent);
    render(image, rect, q.bits(), size_t(q.bytesPerLine()));
    return q;
}

}  // namespace ostrela::engine
