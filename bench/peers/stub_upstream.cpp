// The upstream every server under test forwards to: answers each query at once with one A
// record (192.0.2.53, TTL 300) for its question, so forwarded queries cost the servers, not the
// upstream. UDP and TCP on the same port, for the servers that relay TCP queries over TCP.

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <thread>
#include <unordered_map>
#include <vector>

#include "peers/udp_loop.h"

namespace {

std::size_t answer(std::uint8_t* bytes, std::size_t length, std::size_t capacity) {
    std::size_t end = 12;
    while (end < length && bytes[end] != 0) {
        if ((bytes[end] & 0xC0) != 0) {
            return 0;  // a query never compresses its question
        }
        end += bytes[end] + 1u;
    }
    end += 1 + 4;  // the root byte, QTYPE and QCLASS
    const std::uint8_t record[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x01, 0x2C, 0, 4, 192, 0, 2, 53};
    if (length < 12 || end > length || end + sizeof record > capacity) {
        return 0;
    }
    bytes[2] = static_cast<std::uint8_t>(0x80 | (bytes[2] & 0x01));  // QR, RD kept
    bytes[3] = 0x80;                                                 // RA, NOERROR
    bytes[4] = 0, bytes[5] = 1, bytes[6] = 0, bytes[7] = 1;
    bytes[8] = bytes[9] = bytes[10] = bytes[11] = 0;  // EDNS and the rest dropped
    std::memcpy(bytes + end, record, sizeof record);
    return end + sizeof record;
}

// Answers every length-prefixed query whole in `input`, appending the framed replies to
// `output`; what is left is the start of a message still to come.
void answerFramed(std::vector<std::uint8_t>& input, std::vector<std::uint8_t>& output) {
    std::size_t at = 0;
    std::uint8_t message[4096];
    while (input.size() - at >= 2) {
        const std::size_t length = (std::size_t{input[at]} << 8) | input[at + 1];
        if (input.size() - at - 2 < length) {
            break;
        }
        std::size_t reply = 0;
        if (length <= sizeof message) {
            std::memcpy(message, input.data() + at + 2, length);
            reply = answer(message, length, sizeof message);
        }
        if (reply != 0) {
            output.push_back(static_cast<std::uint8_t>(reply >> 8));
            output.push_back(static_cast<std::uint8_t>(reply));
            output.insert(output.end(), message, message + reply);
        }
        at += 2 + length;
    }
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(at));
}

// Serves TCP on 127.0.0.1:port with one epoll loop until the UDP loop stops. A relay opens a
// connection per query, so accepting and closing must be cheap: no thread per connection.
void serveTcp(std::uint16_t port) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 4096) != 0) {
        std::fprintf(stderr, "cannot listen on TCP 127.0.0.1:%u: %s\n", port, std::strerror(errno));
        std::exit(1);
    }
    const int poller = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{EPOLLIN, {.fd = listener}};
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    struct Peer {
        std::vector<std::uint8_t> input, output;
    };
    std::unordered_map<int, Peer> peers;
    const auto close = [&](int fd) {
        ::close(fd);  // also leaves the epoll set
        peers.erase(fd);
    };
    std::array<epoll_event, 64> ready{};
    std::uint8_t chunk[65536];
    while (sieveharbor::bench::stopRequested == 0) {
        const int count = ::epoll_wait(poller, ready.data(), ready.size(), 200);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                for (int peer; (peer = ::accept4(listener, nullptr, nullptr,
                                                 SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    epoll_event in{EPOLLIN, {.fd = peer}};
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, peer, &in);
                    peers[peer];
                }
                continue;
            }
            Peer& peer = peers[fd];
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                close(fd);
                continue;
            }
            if (got > 0) {
                peer.input.insert(peer.input.end(), chunk, chunk + got);
                answerFramed(peer.input, peer.output);
            }
            // Replies are small and loopback buffers large: a write that does not go whole
            // means a client that does not read, and it loses its connection.
            if (!peer.output.empty()) {
                const ssize_t sent =
                    ::send(fd, peer.output.data(), peer.output.size(), MSG_NOSIGNAL);
                if (sent != static_cast<ssize_t>(peer.output.size())) {
                    close(fd);
                    continue;
                }
                peer.output.clear();
            }
        }
    }
    for (auto& [fd, peer] : peers) {
        ::close(fd);
    }
    ::close(poller);
    ::close(listener);
}

}  // namespace

int main(int argc, char** argv) {
    sieveharbor::bench::LoopOptions options;
    if (!sieveharbor::bench::parseLoopOptions(argc, argv, options)) {
        std::fputs("usage: bench-stub-upstream --port P --seconds S\n", stderr);
        return 2;
    }
    std::thread tcp(serveTcp, options.port);
    const int status = sieveharbor::bench::serveLoopback(options, answer);
    sieveharbor::bench::stopRequested = 1;
    tcp.join();
    return status;
}
