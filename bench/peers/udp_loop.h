#pragma once

// The shared core of the benchmark's two responders: one loopback UDP socket served in batches
// with recvmmsg/sendmmsg on a single thread, for a bounded time.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

namespace sieveharbor::bench {

inline volatile std::sig_atomic_t stopRequested = 0;

struct LoopOptions {
    std::uint16_t port = 0;
    int seconds = 0;
};

// "--port P --seconds S"; both required so that no responder outlives its run.
inline bool parseLoopOptions(int argc, char** argv, LoopOptions& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (flag == "--port" && value > 0 && value < 65536) {
            options.port = static_cast<std::uint16_t>(value);
        } else if (flag == "--seconds" && value > 0) {
            options.seconds = static_cast<int>(value);
        } else {
            return false;
        }
    }
    return options.port != 0 && options.seconds != 0;
}

// Where a datagram came from, for a responder that answers some of them later itself.
struct Sender {
    int fd;
    const sockaddr_storage& address;
    socklen_t length;
};

// Serves 127.0.0.1:port until SIGTERM/SIGINT or the time limit. respond(bytes, length, capacity)
// rewrites one datagram in place and returns the reply's length, 0 for no reply; a responder
// that also takes a Sender is given the datagram's.
template <typename Respond>
int serveLoopback(const LoopOptions& options, Respond respond) {
    constexpr int kBatch = 64;
    constexpr std::size_t kBuffer = 4096;
    struct sigaction action {};
    action.sa_handler = [](int) { stopRequested = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "cannot bind 127.0.0.1:%u: %s\n", options.port, std::strerror(errno));
        return 1;
    }
    int size = 8 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    // Wakes the loop now and then to look at the stop flag and the clock.
    timeval tick{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);

    static std::array<std::array<std::uint8_t, kBuffer>, kBatch> buffers;
    std::array<iovec, kBatch> iov{};
    std::array<sockaddr_storage, kBatch> senders{};
    std::array<mmsghdr, kBatch> in{};
    std::array<mmsghdr, kBatch> out{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    while (stopRequested == 0 && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {buffers[i].data(), kBuffer};
            in[i].msg_hdr = {};
            in[i].msg_hdr.msg_iov = &iov[i];
            in[i].msg_hdr.msg_iovlen = 1;
            in[i].msg_hdr.msg_name = &senders[i];
            in[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        }
        const int count = ::recvmmsg(fd, in.data(), kBatch, MSG_WAITFORONE, nullptr);
        if (count <= 0) {
            continue;  // timeout, signal or a transient error
        }
        int replies = 0;
        for (int i = 0; i < count; ++i) {
            std::size_t length = 0;
            if constexpr (std::is_invocable_v<Respond, std::uint8_t*, std::size_t, std::size_t,
                                              const Sender&>) {
                length = respond(buffers[i].data(), in[i].msg_len, kBuffer,
                                 Sender{fd, senders[i], in[i].msg_hdr.msg_namelen});
            } else {
                length = respond(buffers[i].data(), in[i].msg_len, kBuffer);
            }
            if (length == 0) {
                continue;
            }
            out[replies].msg_hdr = in[i].msg_hdr;
            iov[i].iov_len = length;
            ++replies;
        }
        for (int sent = 0; sent < replies;) {
            const int n =
                ::sendmmsg(fd, out.data() + sent, static_cast<unsigned>(replies - sent), 0);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                ++sent;  // the reply at `sent` is lost, as a full buffer would lose it
                continue;
            }
            sent += n;
        }
    }
    return 0;
}

}  // namespace sieveharbor::bench
