#include "pipeline/engine/LargeBuffers.h"

#include <cstdint>
#include <malloc.h>
#include <sys/mman.h>

namespace ostrela::engine {

namespace {
constexpr size_t kHuge = size_t(2) << 20;
size_t rounded(size_t bytes) { return (bytes + kHuge - 1) / kHuge * kHuge; }
}  // namespace

void* allocateLarge(size_t bytes) {
    if (bytes < kHuge) return ::operator new(bytes == 0 ? 1 : bytes, std::align_val_t(64));
    // Over-map by one huge page and trim to an aligned run: the kernel backs only whole aligned
    // 2 MB ranges with huge pages.
    const size_t size = rounded(bytes);
    void* m = mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t base = reinterpret_cast<uintptr_t>(m), start = (base + kHuge - 1) & ~uintptr_t(kHuge - 1);
    if (start > base) munmap(m, start - base);
    if (const size_t tail = base + size + kHuge - (start + size)) munmap(reinterpret_cast<void*>(start + size), tail);
    void* p = reinterpret_cast<void*>(start);
    madvise(p, size, MADV_HUGEPAGE);  // a hint: without it the buffer still works, on small pages
    return p;
}

void freeLarge(void* p, size_t bytes) noexcept {
    if (!p) return;
    if (bytes < kHuge) {
        ::operator delete(p, std::align_val_t(64));
        return;
    }
    munmap(p, rounded(bytes));
}

void returnFreePages() noexcept { malloc_trim(0); }

}  // namespace ostrela::engine
