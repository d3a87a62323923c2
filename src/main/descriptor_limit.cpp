#include "main/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace sieveharbor::service {

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;  // the usual default, should the limit not even be readable
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(1) << 20
                                           : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t openDescriptors() {
    std::error_code error;
    std::filesystem::directory_iterator entries("/proc/self/fd", error);
    if (error) {
        return kDescriptorReserve;  // a guess on the safe side
    }
    std::size_t count = 0;
    for (auto end = std::filesystem::directory_iterator(); entries != end;
         entries.increment(error)) {
        ++count;
    }
    return count > 0 ? count - 1 : 0;  // less the one reading the folder
}

DescriptorBudget budgetFor(std::size_t limit, std::size_t inUse, std::size_t wantedInFlight,
                           std::size_t wantedConnections) {
    const std::size_t taken = inUse + kDescriptorReserve;
    const std::size_t room = limit > taken ? limit - taken : 0;
    if (room >= wantedInFlight + wantedConnections) {
        return {wantedInFlight, wantedConnections};
    }
    const std::size_t connections = std::clamp<std::size_t>(room / 4, 1, wantedConnections);
    const std::size_t left = room > connections ? room - connections : 0;
    return {std::clamp<std::size_t>(left, 1, wantedInFlight), connections};
}

}  // namespace sieveharbor::service
