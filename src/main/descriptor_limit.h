#pragma once

#include <cstddef>

namespace sieveharbor::service {

// Descriptors kept free of upstream exchanges, so that a reload can always open the list and the
// watcher and listeners can do their work when every exchange slot is taken.
inline constexpr std::size_t kDescriptorReserve = 32;

// Raises the soft limit on open descriptors (RLIMIT_NOFILE) to the hard limit and returns the
// soft limit now in force.
std::size_t raiseDescriptorLimit();

// Descriptors this process has open now.
std::size_t openDescriptors();

// How many upstream exchanges and TCP client connections, each holding one socket, fit beside
// the descriptors in use and the reserve: what is wanted when the limit allows it; otherwise a
// quarter of the room goes to connections and the rest to exchanges, never less than one each.
// Pure.
struct DescriptorBudget {
    std::size_t inFlight;
    std::size_t tcpConnections;
};
DescriptorBudget budgetFor(std::size_t limit, std::size_t inUse, std::size_t wantedInFlight,
                           std::size_t wantedConnections);

}  // namespace sieveharbor::service
