#include "platform/linux/huge_pages.h"

#include <sys/mman.h>

namespace sieveharbor::platform::linux_host {

void adviseHugePages(void* start, std::size_t bytes) noexcept {
    // A kernel without transparent huge pages refuses the advice; the memory is as good.
    static_cast<void>(::madvise(start, bytes, MADV_HUGEPAGE));
}

}  // namespace sieveharbor::platform::linux_host
