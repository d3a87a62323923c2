#include "main/passed_sockets.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <system_error>

namespace sieveharbor::service {

namespace {

std::string passedSocketName(int fd) {
    return "socket " + std::to_string(fd) + " passed by systemd";
}

}  // namespace

PassedSockets takePassedSockets(const Options& options) {
    const int count = ::sd_listen_fds(1);
    if (count < 0) {
        PassedSockets none;
        none.error = std::string(kProgramName) +
                     ": cannot take the sockets passed by systemd (LISTEN_FDS): " +
                     std::system_category().message(-count);
        return none;
    }
    return sortPassedSockets(options, SD_LISTEN_FDS_START, count);
}

PassedSockets sortPassedSockets(const Options& options, int first, int count) {
    const std::string prefix = std::string(kProgramName) + ": ";
    PassedSockets sorted;
    for (int fd = first; fd < first + count; ++fd) {
        if (::sd_is_socket_inet(fd, AF_UNSPEC, SOCK_DGRAM, -1, 0) > 0) {
            sorted.datagram.push_back(fd);
            continue;
        }
        const bool listening = ::sd_is_socket_inet(fd, AF_UNSPEC, SOCK_STREAM, 1, 0) > 0;
        if (listening && options.tcp) {
            sorted.stream.push_back(fd);
            continue;
        }
        ::close(fd);
        sorted.notices.push_back(
            prefix + "closed " + passedSocketName(fd) + ": " +
            (listening ? "it is a TCP socket, and --no-tcp was given"
                       : "it is neither an IPv4 or IPv6 UDP socket nor a listening TCP socket"));
    }
    if (count > 0 && !options.defaultListen) {
        for (const int fd : sorted.datagram) {
            ::close(fd);
        }
        for (const int fd : sorted.stream) {
            ::close(fd);
        }
        sorted.datagram.clear();
        sorted.stream.clear();
        sorted.error = prefix +
                       "--listen cannot be used with sockets passed by systemd: listen where the "
                       "socket unit says, or start the proxy without it";
        sorted.badUsage = true;
    } else if (count > 0 && sorted.datagram.empty()) {
        for (const int fd : sorted.stream) {
            ::close(fd);
        }
        sorted.stream.clear();
        sorted.error = prefix + "systemd passed " + std::to_string(count) +
                       " socket(s), none of them an IPv4 or IPv6 UDP socket: give the socket unit "
                       "a ListenDatagram= line";
    }
    return sorted;
}

}  // namespace sieveharbor::service
