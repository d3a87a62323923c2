#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace sieveharbor::platform::linux_host {

// Puts the calling thread at nice 19, the lowest priority short of SCHED_IDLE (which could hold
// its work back for seconds on a busy machine): a thread that reloads the blocklist, parsing the
// whole file, then takes the CPU only when answering queries leaves it free. Only a hint: where
// it is refused, the work is merely slower to give way. Threads started from this one afterwards
// inherit it.
inline void lowerThisThreadsPriority() {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
}

}  // namespace sieveharbor::platform::linux_host
