#pragma once

// DNS over TCP on loopback for tests: a client that writes and reads framed messages with
// bounded waits, and a stub upstream that answers each framed query on its connection.

#include "dns/tcp_framing.h"
#include "fakes/loopback.h"

namespace sieveharbor::fakes {

class TcpClient {
  public:
    explicit TcpClient(std::uint16_t port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        const auto address = loopbackAddress(Family::v4, port);
        ::connect(fd_, address.get(), address.length);
    }
    ~TcpClient() { ::close(fd_); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool sendRaw(const std::vector<std::uint8_t>& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool send(const dns::Datagram& message) { return sendRaw(*dns::frameMessage(message)); }

    // The next whole message, or nothing by the bound or at the end of the stream.
    std::optional<dns::Datagram> receive(std::chrono::milliseconds bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        std::vector<std::uint8_t> framed;
        for (;;) {
            if (framer_.next(framed) == dns::TcpFramer::Status::message) {
                const auto message = dns::unframed(framed);
                return dns::Datagram(message.begin(), message.end());
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd descriptor{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
            if (got <= 0) {
                closedByPeer_ = true;
                return std::nullopt;
            }
            framer_.append(std::span(buffer, static_cast<std::size_t>(got)));
        }
    }

    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // Ends the connection with a reset rather than an orderly close.
    void reset() {
        const linger abort{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd_);
        fd_ = -1;
    }

    // True once the server has closed the connection: what comes before the end is skipped, and
    // each wait for more is bounded.
    bool closedWithin(std::chrono::milliseconds bound) {
        while (receive(bound)) {
        }
        return closedByPeer_;
    }

  private:
    int fd_ = -1;
    bool closedByPeer_ = false;
    dns::TcpFramer framer_;
};

// Answers every framed query, each connection on a thread of its own, after the delay the
// responder gives; nothing for a query the responder has no answer for.
class TcpStubUpstream {
  public:
    using Responder = std::function<std::optional<dns::Datagram>(const dns::Datagram& query)>;
    using Delay = std::function<std::chrono::milliseconds(const dns::Datagram& query)>;

    // port 0: one the kernel picks.
    explicit TcpStubUpstream(Responder responder, Delay delay = nullptr, std::uint16_t port = 0)
        : responder_(std::move(responder)),
          delay_(std::move(delay)),
          listener_(boundSocket(Family::v4, SOCK_STREAM, port)) {
        if (listener_ >= 0 && ::listen(listener_, 64) == 0) {
            port_ = boundPort(listener_);
            acceptor_ = std::thread([this] { acceptLoop(); });
        }
    }
    ~TcpStubUpstream() {
        stop_ = true;
        // The accept loop first: once it has ended, nothing adds to the list.
        if (acceptor_.joinable()) {
            acceptor_.join();
        }
        for (auto& thread : connections_) {
            thread.join();
        }
        ::close(listener_);
    }
    TcpStubUpstream(const TcpStubUpstream&) = delete;
    TcpStubUpstream& operator=(const TcpStubUpstream&) = delete;

    std::uint16_t port() const { return port_; }

  private:
    bool readable(int fd) const {
        pollfd descriptor{fd, POLLIN, 0};
        return ::poll(&descriptor, 1, 20) > 0;
    }

    void acceptLoop() {
        while (!stop_) {
            if (!readable(listener_)) {
                continue;
            }
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections_.emplace_back([this, fd] { serve(fd); });
            }
        }
    }

    void serve(int fd) {
        dns::TcpFramer framer;
        while (!stop_) {
            if (!readable(fd)) {
                continue;
            }
            std::uint8_t buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {
                break;
            }
            framer.append(std::span(buffer, static_cast<std::size_t>(got)));
            std::vector<std::uint8_t> framed;
            while (framer.next(framed) == dns::TcpFramer::Status::message) {
                const auto body = dns::unframed(framed);
                const dns::Datagram query(body.begin(), body.end());
                if (delay_) {
                    std::this_thread::sleep_for(delay_(query));
                }
                if (const auto reply = responder_(query)) {
                    const auto framed = *dns::frameMessage(*reply);
                    ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
                }
            }
        }
        ::close(fd);
    }

    Responder responder_;
    Delay delay_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> connections_;  // added to by the accept loop alone
};

}  // namespace sieveharbor::fakes
