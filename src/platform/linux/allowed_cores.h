#pragma once

#include <sched.h>

#include <algorithm>
#include <thread>

namespace sieveharbor::platform::linux_host {

// The cores this process may run on, not the machine's: pinned to one core, a second thread
// would only wake the first for every event.
inline unsigned allowedCores() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const unsigned count = sched_getaffinity(0, sizeof allowed, &allowed) == 0
                               ? static_cast<unsigned>(CPU_COUNT(&allowed))
                               : std::thread::hardware_concurrency();
    return std::max(1u, count);
}

}  // namespace sieveharbor::platform::linux_host
