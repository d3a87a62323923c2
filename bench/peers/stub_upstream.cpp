// The upstream every server under test forwards to: answers each query at once with one A
// record (192.0.2.53, TTL 300) for its question, so forwarded queries cost the servers, not the
// upstream. UDP and TCP on the same port, for the servers that relay TCP queries over TCP.
// With --faults (the soak) it drops or holds back the queries soak/fate.h names.

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "peers/udp_loop.h"
#include "soak/fate.h"

namespace {

using Clock = std::chrono::steady_clock;
using sieveharbor::bench::Fate;

bool faults = false;

Fate fateOf(const std::uint8_t* message, std::size_t length) {
    if (!faults) {
        return {};
    }
    return sieveharbor::bench::fateOf(sieveharbor::bench::questionNameHash(message, length));
}

// UDP answers held back, sent by a thread of their own from the serving socket.
class DelayedDatagrams {
  public:
    void add(Clock::time_point due, const std::uint8_t* bytes, std::size_t length,
             const sieveharbor::bench::Sender& to) {
        std::lock_guard lock(mutex_);
        pending_.emplace(due, Pending{std::vector<std::uint8_t>(bytes, bytes + length), to.fd,
                                      to.address, to.length});
        wake_.notify_one();
    }

    void run() {
        std::unique_lock lock(mutex_);
        while (sieveharbor::bench::stopRequested == 0) {
            const auto now = Clock::now();
            while (!pending_.empty() && pending_.begin()->first <= now) {
                const Pending& p = pending_.begin()->second;
                ::sendto(p.fd, p.bytes.data(), p.bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&p.address), p.length);
                pending_.erase(pending_.begin());
            }
            // Bounded wait: the stop flag is looked at whatever is pending.
            auto until = now + std::chrono::milliseconds(100);
            if (!pending_.empty() && pending_.begin()->first < until) {
                until = pending_.begin()->first;
            }
            wake_.wait_until(lock, until);
        }
    }

  private:
    struct Pending {
        std::vector<std::uint8_t> bytes;
        int fd;
        sockaddr_storage address;
        socklen_t length;
    };
    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Clock::time_point, Pending> pending_;
};

DelayedDatagrams delayedDatagrams;

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

// A framed TCP answer held back, for the connection that had that serial.
struct DelayedFrame {
    int fd;
    std::uint64_t serial;
    std::vector<std::uint8_t> bytes;
};

// Answers every length-prefixed query whole in `input`, appending the framed replies to
// `output` or, for a held-back one, to `delayed`; what is left is the start of a message still
// to come.
void answerFramed(std::vector<std::uint8_t>& input, std::vector<std::uint8_t>& output,
                  std::multimap<Clock::time_point, DelayedFrame>& delayed, int fd,
                  std::uint64_t serial) {
    std::size_t at = 0;
    std::uint8_t message[4096];
    while (input.size() - at >= 2) {
        const std::size_t length = (std::size_t{input[at]} << 8) | input[at + 1];
        if (input.size() - at - 2 < length) {
            break;
        }
        std::size_t reply = 0;
        Fate fate;
        if (length <= sizeof message) {
            std::memcpy(message, input.data() + at + 2, length);
            fate = fateOf(message, length);
            reply = fate.kind == Fate::Kind::drop ? 0 : answer(message, length, sizeof message);
        }
        if (reply != 0) {
            std::vector<std::uint8_t>* to = &output;
            if (fate.kind == Fate::Kind::delay) {
                to = &delayed
                          .emplace(Clock::now() + std::chrono::milliseconds(fate.delayMs),
                                   DelayedFrame{fd, serial, {}})
                          ->second.bytes;
            }
            to->push_back(static_cast<std::uint8_t>(reply >> 8));
            to->push_back(static_cast<std::uint8_t>(reply));
            to->insert(to->end(), message, message + reply);
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
        std::uint64_t serial = 0;
    };
    std::unordered_map<int, Peer> peers;
    std::uint64_t serials = 0;
    std::multimap<Clock::time_point, DelayedFrame> delayed;
    const auto close = [&](int fd) {
        ::close(fd);  // also leaves the epoll set
        peers.erase(fd);
    };
    std::array<epoll_event, 64> ready{};
    std::uint8_t chunk[65536];
    // Replies are small and loopback buffers large: a write that does not go whole means a
    // client that does not read, and it loses its connection.
    const auto flush = [&](int fd, Peer& peer) {
        if (!peer.output.empty()) {
            const ssize_t sent = ::send(fd, peer.output.data(), peer.output.size(), MSG_NOSIGNAL);
            if (sent != static_cast<ssize_t>(peer.output.size())) {
                close(fd);
                return;
            }
            peer.output.clear();
        }
    };
    while (sieveharbor::bench::stopRequested == 0) {
        int waitMs = 200;
        while (!delayed.empty() && delayed.begin()->first <= Clock::now()) {
            DelayedFrame& frame = delayed.begin()->second;
            // The connection may have gone, and its descriptor be another's by now.
            const auto peer = peers.find(frame.fd);
            if (peer != peers.end() && peer->second.serial == frame.serial) {
                peer->second.output.insert(peer->second.output.end(), frame.bytes.begin(),
                                           frame.bytes.end());
                flush(frame.fd, peer->second);
            }
            delayed.erase(delayed.begin());
        }
        if (!delayed.empty()) {
            const auto until =
                std::chrono::ceil<std::chrono::milliseconds>(delayed.begin()->first - Clock::now());
            waitMs = std::clamp(static_cast<int>(until.count()), 0, waitMs);
        }
        const int count = ::epoll_wait(poller, ready.data(), ready.size(), waitMs);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == listener) {
                for (int peer; (peer = ::accept4(listener, nullptr, nullptr,
                                                 SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    epoll_event in{EPOLLIN, {.fd = peer}};
                    ::epoll_ctl(poller, EPOLL_CTL_ADD, peer, &in);
                    peers[peer].serial = ++serials;
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
                answerFramed(peer.input, peer.output, delayed, fd, peer.serial);
            }
            flush(fd, peer);
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
    std::vector<char*> args(argv, argv + argc);
    if (args.size() > 1 && std::strcmp(args.back(), "--faults") == 0) {
        faults = true;
        args.pop_back();
    }
    sieveharbor::bench::LoopOptions options;
    if (!sieveharbor::bench::parseLoopOptions(static_cast<int>(args.size()), args.data(),
                                              options)) {
        std::fputs("usage: bench-stub-upstream --port P --seconds S [--faults]\n", stderr);
        return 2;
    }
    std::thread tcp(serveTcp, options.port);
    std::thread delays([] { delayedDatagrams.run(); });
    const int status = sieveharbor::bench::serveLoopback(
        options,
        [](std::uint8_t* bytes, std::size_t length, std::size_t capacity,
           const sieveharbor::bench::Sender& from) -> std::size_t {
            const Fate fate = fateOf(bytes, length);
            if (fate.kind == Fate::Kind::drop) {
                return 0;
            }
            const std::size_t reply = answer(bytes, length, capacity);
            if (fate.kind == Fate::Kind::delay && reply != 0) {
                delayedDatagrams.add(Clock::now() + std::chrono::milliseconds(fate.delayMs), bytes,
                                     reply, from);
                return 0;
            }
            return reply;
        });
    sieveharbor::bench::stopRequested = 1;
    tcp.join();
    delays.join();
    return status;
}
