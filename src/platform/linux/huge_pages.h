#pragma once

#include <cstddef>

namespace sieveharbor::platform::linux_host {

// The blocklist's page advice on Linux (a blocklist::PageAdvice): transparent huge pages for the
// set's big arrays, where the system gives them only to memory that asks (THP "madvise", the
// usual setting). A probe of a table of many megabytes then seldom misses the TLB as well as the
// cache. Only a hint: without huge pages the memory works the same.
void adviseHugePages(void* start, std::size_t bytes) noexcept;

}  // namespace sieveharbor::platform::linux_host
