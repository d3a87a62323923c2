#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace sieveharbor::platform::posix {

// Descriptors kept free of upstream exchanges, so that a reload can always open the list and the
// watcher and listeners can do their work when every exchange slot is taken.
inline constexpr std::size_t kDescriptorReserve = 32;

// Raises the soft limit on open descriptors (RLIMIT_NOFILE) as far as the system lets it and
// returns the soft limit now in force. Both hosts start far below what the caps want: launchd
// gives 256, a login shell 1,024.
std::size_t raiseDescriptorLimit();

// The soft limits to ask for, in order, until one is granted: the hard limit when it is finite,
// then the most descriptors a process may have on macOS (OPEN_MAX), which refuses a soft limit
// above its per-process maximum, an unlimited one included. Only those above `soft`. Pure.
std::vector<std::size_t> softLimitsToTry(std::size_t soft, std::optional<std::size_t> hard);

// Descriptors this process has open now.
std::size_t openDescriptors();

// How many upstream exchanges and TCP client connections, each holding one socket, fit beside
// the descriptors in use and the reserve: what is wanted when the limit allows it; otherwise a
// quarter of the room goes to connections and the rest to exchanges, never less than one of
// each that is wanted. Pure.
struct DescriptorBudget {
    std::size_t inFlight;
    std::size_t tcpConnections;
};
DescriptorBudget budgetFor(std::size_t limit, std::size_t inUse, std::size_t wantedInFlight,
                           std::size_t wantedConnections);

// Lowers the caps on exchanges in flight and on TCP connections (0: none wanted) to the budget
// that `limit` leaves beside the descriptors open now; true when either was lowered.
bool fitCaps(std::size_t limit, std::size_t& inFlight, std::size_t& tcpConnections);

}  // namespace sieveharbor::platform::posix
