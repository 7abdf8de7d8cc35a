#pragma once
// Memory for large pixel buffers. Pictures are read at scattered places (rotated resampling,
// zoomed copies, ripples), where 4 KB pages have the processor walk its page tables often;
// buffers of 2 MB and more are therefore 2 MB aligned and asked to be backed by huge pages
// (every heavy look measured faster so).

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace ostrela::engine {

// At least `bytes`, 64-byte aligned; release with freeLarge and the same size.
void* allocateLarge(size_t bytes);
void freeLarge(void* p, size_t bytes) noexcept;

// Hands the free pages of every allocator arena back to the system. Buffers a look freed stay in
// the arenas' free lists otherwise (frame-sized ones included, once the allocator has raised its
// mapping threshold), so the process would keep a look's peak after switching away. Costs a walk
// of the arenas: call it on a look switch, not per frame.
void returnFreePages() noexcept;

template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return static_cast<T*>(allocateLarge(n * sizeof(T))); }
    void deallocate(T* p, size_t n) noexcept { freeLarge(p, n * sizeof(T)); }
    // Elements made without arguments are left uninitialised: a picture's buffer is written in full
    // before it is read, and zeroing tens of megabytes made a look's first frame a visible hitch.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const LargeAllocator<U>&) const noexcept { return false; }
};

// A stored picture's pixels (linear premultiplied RGBA floats).
using PixelStore = std::vector<float, LargeAllocator<float>>;

}  // namespace ostrela::engine
