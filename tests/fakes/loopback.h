#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "dns/datagram.h"

namespace sieveharbor::fakes {

enum class Family { v4, v6 };

// Descriptors the process has open: a socket left open shows as one more.
inline std::size_t openDescriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator{}));
}

// The family's loopback address with a port, and the length to pass with it.
struct LoopbackAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};
inline LoopbackAddress loopbackAddress(Family family, std::uint16_t port) {
    LoopbackAddress address;
    if (family == Family::v4) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof v4;
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
        address.length = sizeof v6;
    }
    return address;
}

// A socket of `type` (SOCK_DGRAM or SOCK_STREAM, flags allowed) bound to the family's loopback
// address, on a port the kernel picks unless one is given; -1 on failure. A stream socket may
// take a port that closed connections still hold in TIME-WAIT, as the proxy's own listener does:
// a machine busy with other TCP work has thousands of those.
inline int boundSocket(Family family, int type, std::uint16_t port = 0) {
    const auto address = loopbackAddress(family, port);
    const int fd = ::socket(address.storage.ss_family, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0 && (type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) == SOCK_STREAM) {
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (fd >= 0 && ::bind(fd, address.get(), address.length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline std::uint16_t boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// A plain UDP socket on 127.0.0.1 or ::1 with a kernel-chosen port: the asking application, or
// the socket under a stub upstream. Every wait is bounded.
class LoopbackSocket {
  public:
    struct Received {
        dns::Datagram bytes;
        sockaddr_storage from{};
        socklen_t fromLength = 0;
    };

    explicit LoopbackSocket(Family family = Family::v4)
        : family_(family), fd_(boundSocket(family, SOCK_DGRAM)) {
        int size = 4 * 1024 * 1024;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        port_ = boundPort(fd_);
    }
    ~LoopbackSocket() { close(); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    bool valid() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }

    // Frees the port; a later send to it is refused by the kernel (an absent upstream).
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    bool sendTo(std::uint16_t port, dns::ByteView bytes) const {
        const auto address = loopbackAddress(family_, port);
        return sendTo(address.storage, address.length, bytes);
    }
    bool sendTo(const sockaddr_storage& address, socklen_t length, dns::ByteView bytes) const {
        return ::sendto(fd_, bytes.data(), bytes.size(), 0,
                        reinterpret_cast<const sockaddr*>(&address),
                        length) == static_cast<ssize_t>(bytes.size());
    }

    // The next datagram, or nothing once timeout has passed.
    std::optional<Received> receive(std::chrono::milliseconds timeout) const {
        pollfd descriptor{fd_, POLLIN, 0};
        if (::poll(&descriptor, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::nullopt;
        }
        thread_local std::vector<std::uint8_t> buffer(65536);
        Received received;
        received.fromLength = sizeof received.from;
        const ssize_t size =
            ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&received.from), &received.fromLength);
        if (size < 0) {
            return std::nullopt;
        }
        received.bytes.assign(buffer.begin(), buffer.begin() + size);
        return received;
    }

  private:
    Family family_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A resolver stand-in on loopback, run by its own thread. Each query is recorded and handed to the
// responder; what it returns is sent back at once, and nothing means stay silent.
class StubUpstream {
  public:
    using Responder = std::function<std::optional<dns::Datagram>(const dns::Datagram& query)>;

    // The query with its QR bit set: a recognisable answer carrying the query's own ID.
    static std::optional<dns::Datagram> answer(const dns::Datagram& query) {
        dns::Datagram reply = query;
        if (reply.size() > 2) {
            reply[2] |= 0x80;
        }
        return reply;
    }
    static std::optional<dns::Datagram> silent(const dns::Datagram&) { return std::nullopt; }

    // record false keeps nothing, for long benchmark runs.
    explicit StubUpstream(Responder responder, Family family = Family::v4, bool record = true)
        : socket_(family),
          responder_(std::move(responder)),
          record_(record),
          thread_([this] { serve(); }) {}
    ~StubUpstream() {
        stop_.store(true);
        thread_.join();
    }
    StubUpstream(const StubUpstream&) = delete;
    StubUpstream& operator=(const StubUpstream&) = delete;

    std::uint16_t port() const { return socket_.port(); }

    std::vector<dns::Datagram> queries() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    void serve() {
        while (!stop_.load()) {
            auto query = socket_.receive(std::chrono::milliseconds(20));
            if (!query) {
                continue;
            }
            // Recorded before the answer leaves, so whoever gets the answer sees the query.
            if (record_) {
                std::lock_guard lock(mutex_);
                seen_.push_back(query->bytes);
            }
            if (auto reply = responder_(query->bytes)) {
                socket_.sendTo(query->from, query->fromLength, *reply);
            }
        }
    }

    LoopbackSocket socket_;
    Responder responder_;
    const bool record_;
    mutable std::mutex mutex_;
    std::vector<dns::Datagram> seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace sieveharbor::fakes
