// A resolver stand-in for the end-to-end tests. Prints its port on stdout, then answers every
// query on 127.0.0.1 with one recognisable A record (192.0.2.53, TTL 4242) until SIGTERM or
// SIGINT, over UDP and TCP alike; with --silent it answers nothing. SIGUSR1 silences it and
// SIGUSR2 has it answer again, as an upstream that stops answering and heals. With --free-port it
// only prints a port that was free for UDP and TCP a moment ago and exits. With --bind ADDR PORT it
// answers on that IPv4 address and port instead (a network namespace's upstream on port 53), until
// a signal ends it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "dns/question.h"
#include "fakes/loopback.h"
#include "fakes/loopback_tcp.h"
#include "recognisable_answer.h"

namespace {

using sieveharbor::dns::Datagram;

// Read by the answering threads, set by the signal loop.
std::atomic<bool> silenced{false};

std::optional<Datagram> answerOverUdp(const Datagram& query) {
    return sieveharbor::e2e::recognisableAnswer(query, false);
}

// Serves on address:port from this thread; returns only when the socket cannot be set up.
int serveOn(const char* address, const char* port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "stub upstream: cannot bind %s:%s\n", address, port);
        return 1;
    }
    std::printf("%s\n", port);
    std::fflush(stdout);
    Datagram query(65536);
    for (;;) {
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(fd, query.data(), query.size(), 0,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size < 0) {
            continue;
        }
        const auto reply = answerOverUdp(Datagram(query.begin(), query.begin() + size));
        if (reply) {
            ::sendto(fd, reply->data(), reply->size(), 0, reinterpret_cast<sockaddr*>(&from),
                     fromLength);
        }
    }
}

// A port the proxy can take for both its UDP and its TCP listener. A kernel-chosen UDP port is
// drawn from the range TCP clients' source ports come from, so another test's connection may
// hold it for TCP: that port is passed over.
std::optional<std::uint16_t> portFreeForUdpAndTcp() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const sieveharbor::fakes::LoopbackSocket udp;
        const int tcp = sieveharbor::fakes::boundSocket(sieveharbor::fakes::Family::v4, SOCK_STREAM,
                                                        udp.port());
        if (tcp >= 0) {
            ::close(tcp);
            if (udp.valid()) {
                return udp.port();
            }
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace sieveharbor::fakes;
    if (argc > 3 && std::strcmp(argv[1], "--bind") == 0) {
        return serveOn(argv[2], argv[3]);
    }
    if (argc > 1 && std::strcmp(argv[1], "--free-port") == 0) {
        const auto port = portFreeForUdpAndTcp();
        if (!port) {
            return 1;
        }
        std::printf("%u\n", *port);
        return 0;
    }

    // Blocked before the stub's thread starts, so only sigwait takes them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGUSR1);
    sigaddset(&stop, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    silenced = argc > 1 && std::strcmp(argv[1], "--silent") == 0;
    // The kernel picks the UDP port; the TCP port of the same number can be taken (by a client's
    // connection, say), and then another is tried.
    std::unique_ptr<StubUpstream> stub;
    std::unique_ptr<TcpStubUpstream> tcp;
    for (int attempt = 0; attempt < 50 && !(tcp && tcp->port() != 0); ++attempt) {
        tcp.reset();
        stub = std::make_unique<StubUpstream>(
            [](const Datagram& query) { return silenced ? std::nullopt : answerOverUdp(query); });
        if (stub->port() == 0) {
            continue;
        }
        // The same answers over TCP, on the same port.
        tcp = std::make_unique<TcpStubUpstream>(
            [](const Datagram& query) {
                return silenced ? std::nullopt : sieveharbor::e2e::recognisableAnswer(query, true);
            },
            nullptr, stub->port());
    }
    if (!tcp || tcp->port() == 0) {
        std::fputs("stub upstream: cannot bind 127.0.0.1\n", stderr);
        return 1;
    }
    std::printf("%u\n", stub->port());
    std::fflush(stdout);
    for (;;) {
        int signal = 0;
        sigwait(&stop, &signal);
        if (signal == SIGUSR1 || signal == SIGUSR2) {
            silenced = signal == SIGUSR1;
            continue;
        }
        return 0;
    }
}
