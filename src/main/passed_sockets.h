#pragma once

#include <string>
#include <vector>

#include "main/command_line.h"

namespace sieveharbor::service {

// The sockets systemd passes to a socket-activated service, sorted for the proxy. UDP and
// listening TCP sockets over IPv4 or IPv6 are served (TCP unless --no-tcp); any other socket is
// closed with a notice, so that it shows up in the log rather than taking traffic nobody reads.
struct PassedSockets {
    std::vector<int> datagram;         // the caller's to adopt and close
    std::vector<int> stream;           // listening TCP sockets, likewise
    std::vector<std::string> notices;  // one line each, for stderr, without newline
    std::string error;                 // when set, the proxy must not start
    bool badUsage = false;             // the error is a usage error
};

// Takes the sockets listed by LISTEN_FDS when LISTEN_PID names this process, and clears those
// variables so that nothing started later sees them. None passed: datagram and error stay empty,
// and the proxy listens where --listen says. Sockets passed and --listen given is a usage error:
// there would be no telling which of the two the user meant.
PassedSockets takePassedSockets(const Options& options);

// The sorting alone, for the count descriptors from first on.
PassedSockets sortPassedSockets(const Options& options, int first, int count);

}  // namespace sieveharbor::service
