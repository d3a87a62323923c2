#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

namespace sieveharbor::blocklist {

// What the host tells its system about a block just mapped for one of a set's big arrays: on
// Linux, to back it with transparent huge pages. Called with the block's start (aligned to 2 MiB)
// and length, before anything is written to it, on the thread that builds the set. Only a hint:
// it reports nothing, and null gives none.
using PageAdvice = void (*)(void* start, std::size_t bytes) noexcept;

// Allocator for the set's big arrays. Blocks of 2 MiB and more are mapped straight from the
// system, aligned to 2 MiB and given the host's page advice: a million-entry table spans 16 MiB,
// and with 4 KiB pages nearly every probe would also miss the TLB. Unmapping them on release
// gives the memory back at once; from the heap, a reload's old set would stay with the process
// (the allocator's threshold for mapping blocks rises after the first big free), and every reload
// would grow it. Smaller blocks come from the usual heap.
template <class T>
class LargePageAllocator {
  public:
    using value_type = T;
    // Any of these frees what any other allocated, whatever its advice: containers move and swap
    // their blocks freely, and take the advice along, so that a set keeps it as it grows.
    using is_always_equal = std::true_type;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;

    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    LargePageAllocator() = default;
    explicit LargePageAllocator(PageAdvice advice) noexcept : advice_(advice) {}
    template <class U>
    explicit LargePageAllocator(const LargePageAllocator<U>& other) noexcept
        : advice_(other.advice()) {}

    PageAdvice advice() const noexcept { return advice_; }

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
        if (advice_ != nullptr) {
            advice_(base + head, bytes);
        }
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

  private:
    PageAdvice advice_ = nullptr;
};

}  // namespace sieveharbor::blocklist
