#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <memory>
#include <new>

namespace sieveharbor::blocklist {

// Allocator for the set's big arrays. Blocks of 2 MiB and more are mapped straight from the
// kernel, aligned to 2 MiB and marked for transparent huge pages: a million-entry table spans
// 16 MiB, and with 4 KiB pages nearly every probe would also miss the TLB. Unmapping them on
// release gives the memory back at once; from the heap, a reload's old set would stay with the
// process (the allocator's threshold for mapping blocks rises after the first big free), and
// every reload would grow it. Smaller blocks come from the usual heap.
template <class T>
struct LargePageAllocator {
    using value_type = T;
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    LargePageAllocator() = default;
    template <class U>
    explicit LargePageAllocator(const LargePageAllocator<U>& /*other*/) noexcept {}

    static std::size_t mappedBytes(std::size_t n) {
        return (n * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage;
    }

    T* allocate(std::size_t n) {
        if (n * sizeof(T) < kHugePage) {
            return std::allocator<T>().allocate(n);
        }
        const std::size_t bytes = mappedBytes(n);
        // One huge page more than needed, then the unaligned head and the tail given back.
        void* mapped = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            throw std::bad_alloc();
        }
        auto* base = static_cast<char*>(mapped);
        const std::size_t head =
            (kHugePage - reinterpret_cast<std::uintptr_t>(base) % kHugePage) % kHugePage;
        if (head > 0) {
            munmap(base, head);
        }
        munmap(base + head + bytes, kHugePage - head);
        // Only a hint: without huge pages the memory works the same, just with more TLB misses.
        madvise(base + head, bytes, MADV_HUGEPAGE);
        return reinterpret_cast<T*>(base + head);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kHugePage) {
            std::allocator<T>().deallocate(p, n);
        } else {
            munmap(p, mappedBytes(n));
        }
    }

    template <class U>
    bool operator==(const LargePageAllocator<U>& /*other*/) const noexcept {
        return true;
    }
};

}  // namespace sieveharbor::blocklist
