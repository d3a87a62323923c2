#pragma once

#include <sys/mman.h>

#include <cstdlib>
#include <memory>
#include <new>

namespace sieveharbor::blocklist {

// Allocator for the set's two big arrays. Blocks of 2 MiB and more are aligned to 2 MiB and
// marked for transparent huge pages: a million-entry table spans 16 MiB, and with 4 KiB pages
// nearly every probe would also miss the TLB. Smaller blocks come from the usual heap.
template <class T>
struct LargePageAllocator {
    using value_type = T;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    LargePageAllocator() = default;
    template <class U>
    explicit LargePageAllocator(const LargePageAllocator<U>& /*other*/) noexcept {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePage) {
            return std::allocator<T>().allocate(n);
        }
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        // Only a hint: without huge pages the memory works the same, just with more TLB misses.
        madvise(p, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kHugePage) {
            std::allocator<T>().deallocate(p, n);
        } else {
            std::free(p);
        }
    }

    template <class U>
    bool operator==(const LargePageAllocator<U>& /*other*/) const noexcept {
        return true;
    }
};

}  // namespace sieveharbor::blocklist
