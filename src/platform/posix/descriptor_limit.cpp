#include "platform/posix/descriptor_limit.h"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace sieveharbor::platform::posix {
namespace {

// OPEN_MAX of macOS's <sys/syslimits.h>; Linux defines none.
constexpr std::size_t kMacPerProcessMaximum = 10240;

}  // namespace

std::vector<std::size_t> softLimitsToTry(std::size_t soft, std::optional<std::size_t> hard) {
    std::vector<std::size_t> limits;
    if (hard) {
        limits.push_back(*hard);
    }
    const std::size_t capped =
        std::min(hard.value_or(kMacPerProcessMaximum), kMacPerProcessMaximum);
    if (!hard || capped < *hard) {
        limits.push_back(capped);
    }
    std::erase_if(limits, [soft](std::size_t limit) { return limit <= soft; });
    return limits;
}

std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1024;  // the usual default, should the limit not even be readable
    }
    const auto finite = [](rlim_t value) -> std::optional<std::size_t> {
        if (value == RLIM_INFINITY) {
            return std::nullopt;
        }
        return static_cast<std::size_t>(value);
    };
    const std::size_t soft = finite(limit.rlim_cur).value_or(std::size_t{1} << 20);
    for (const std::size_t wanted : softLimitsToTry(soft, finite(limit.rlim_max))) {
        rlimit raised = limit;
        raised.rlim_cur = static_cast<rlim_t>(wanted);
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            return wanted;
        }
    }
    return soft;
}

std::size_t openDescriptors() {
    // /dev/fd lists this process's descriptors on both hosts (on Linux it is /proc/self/fd).
    std::error_code error;
    std::filesystem::directory_iterator entries("/dev/fd", error);
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
    // A host that takes no connections (UDP only) gives every slot to exchanges.
    const std::size_t connections =
        wantedConnections == 0 ? 0 : std::clamp<std::size_t>(room / 4, 1, wantedConnections);
    const std::size_t left = room > connections ? room - connections : 0;
    return {std::clamp<std::size_t>(left, 1, wantedInFlight), connections};
}

bool fitCaps(std::size_t limit, std::size_t& inFlight, std::size_t& tcpConnections) {
    const auto budget = budgetFor(limit, openDescriptors(), inFlight, tcpConnections);
    const bool lowered = budget.inFlight < inFlight || budget.tcpConnections < tcpConnections;
    inFlight = budget.inFlight;
    tcpConnections = budget.tcpConnections;
    return lowered;
}

}  // namespace sieveharbor::platform::posix
