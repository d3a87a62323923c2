#include "host/descriptor_limit.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>

namespace sieveharbor::host {

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
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return kDescriptorReserve;  // a guess on the safe side
    }
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        count += entry->d_name[0] != '.';
    }
    ::closedir(folder);
    return count > 0 ? count - 1 : 0;  // less the one reading the folder
}

std::size_t inFlightCapFor(std::size_t limit, std::size_t inUse, std::size_t wanted) {
    const std::size_t taken = inUse + kDescriptorReserve;
    return std::clamp<std::size_t>(limit > taken ? limit - taken : 0, 1, wanted);
}

}  // namespace sieveharbor::host
