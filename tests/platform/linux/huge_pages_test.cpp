#include "platform/linux/huge_pages.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace sieveharbor::platform::linux_host {
namespace {

// The VmFlags line of the mapping in /proc/self/smaps that holds `address`; empty when none.
std::string vmFlagsAt(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2) {
            inside = start <= at && at < end;
        } else if (inside && line.starts_with("VmFlags:")) {
            return line;
        }
    }
    return {};
}

TEST(HugePages, the_advised_memory_is_marked_for_huge_pages) {
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled")) {
        GTEST_SKIP() << "this kernel has no transparent huge pages";
    }
    constexpr std::size_t kBytes = std::size_t{4} << 20;
    void* block =
        ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    EXPECT_EQ(vmFlagsAt(block).find(" hg"), std::string::npos);
    adviseHugePages(block, kBytes);
    EXPECT_NE(vmFlagsAt(block).find(" hg"), std::string::npos) << vmFlagsAt(block);
    ::munmap(block, kBytes);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host
