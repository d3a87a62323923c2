#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "dns/datagram.h"
#include "flow/forward_query.h"
#include "flow/verdict.h"
#include "metrics/counters.h"

namespace sieveharbor::platform::linux_host {

// Bounds that keep one client, or many, from holding the server.
struct TcpLimits {
    // Connections open at once; at the limit the oldest idle one is closed for a new one, and
    // when none is idle the new one is.
    std::size_t maxConnections = 1024;
    // A connection with no query in progress and no reply pending is closed after this; bytes of
    // a message that has not wholly arrived do not count as progress (RFC 7766).
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(10);
    // Queries of one connection relayed at once: beyond it the connection is not read until one
    // ends, so a client cannot take the whole in-flight cap.
    std::size_t maxInProgress = 64;
    // Reply bytes waiting for a client that does not read; beyond them the connection is closed.
    std::size_t maxQueuedBytes = std::size_t{256} * 1024;
};

// Where unblocked queries go, and what they share with the UDP relay.
struct TcpUpstream {
    asio::ip::tcp::endpoint endpoint;
    std::chrono::milliseconds replyTimeout = flow::kReplyTimeout;
    std::shared_ptr<flow::InFlightLimit> limit;   // the one cap shared with UDP
    std::shared_ptr<metrics::Counters> counters;  // never null
};

// The decision for one message; called on any of the queue's threads.
using Judge = std::function<flow::Judgement(dns::ByteView message)>;

class TcpConnection;

// DNS over TCP on one listening socket: two-byte length framing, several queries per connection
// answered as each answer is ready (pipelining), each message judged as UDP datagrams are;
// unblocked queries go to the upstream over TCP, each on a connection of its own, within the
// reply timeout and the in-flight cap. Runs on an io_context's threads; every connection's work
// is serialised on a strand of its own.
class TcpServer : public std::enable_shared_from_this<TcpServer> {
  public:
    struct Started {
        std::shared_ptr<TcpServer> server;
        std::error_code error;  // when server is empty
    };

    // Binds and listens on a numeric address and port.
    static Started listen(asio::io_context& io, const std::string& address, std::uint16_t port,
                          Judge judge, TcpUpstream upstream, TcpLimits limits = {});
    // Serves a listening stream socket made by someone else (socket activation); takes the fd.
    static Started adopt(asio::io_context& io, int fd, Judge judge, TcpUpstream upstream,
                         TcpLimits limits = {});

    // Stops accepting and closes every connection; exchanges under way end on their own.
    void stop();

    std::uint16_t port() const;
    std::size_t connectionCount() const;
    std::size_t idleConnectionCount() const;

    // Private in spirit: use listen() or adopt().
    TcpServer(asio::io_context& io, Judge judge, TcpUpstream upstream, TcpLimits limits);

    struct Settings;

    // Called by a connection as it closes.
    void forget(const TcpConnection* connection);

  private:
    void accept();
    void admit(asio::ip::tcp::socket socket);

    asio::io_context& io_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    const std::shared_ptr<const Settings> settings_;
    mutable std::mutex mutex_;
    std::list<std::shared_ptr<TcpConnection>> connections_;  // oldest first
    bool stopped_ = false;
};

}  // namespace sieveharbor::platform::linux_host
