#include "platform/linux/tcp_server.h"

#include <algorithm>
#include <array>
#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <vector>

#include "dns/tcp_framing.h"
#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

using asio::ip::tcp;
using metrics::Outcome;
using metrics::TcpClose;

struct TcpServer::Settings {
    Judge judge;
    TcpUpstream upstream;
    TcpLimits limits;
};

// One client connection. Everything it does runs on its strand; the server's list and the idle
// flag are the only state read from elsewhere.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
  public:
    // The socket's executor is the connection's strand.
    TcpConnection(tcp::socket socket, std::weak_ptr<TcpServer> server,
                  std::shared_ptr<const TcpServer::Settings> settings)
        : strand_(socket.get_executor()),
          socket_(std::move(socket)),
          idleTimer_(strand_),
          server_(std::move(server)),
          settings_(std::move(settings)),
          judge_(settings_->judge),
          upstream_(settings_->upstream),
          limits_(settings_->limits) {}

    void start() {
        asio::post(strand_, [self = shared_from_this()] {
            self->becomeIdleIfDone();
            self->read();
        });
    }

    // From any thread; a reason given is counted.
    void close(std::optional<TcpClose> reason = std::nullopt) {
        asio::post(strand_, [self = shared_from_this(), reason] { self->closeNow(reason); });
    }

    bool idle() const noexcept { return idle_.load(std::memory_order_acquire); }

  private:
    class Exchange;

    void read() {
        socket_.async_read_some(
            asio::buffer(buffer_),
            asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error,
                                                                     std::size_t size) {
                if (error) {
                    self->closeNow();
                    return;
                }
                self->framer_.append(std::span(self->buffer_).first(size));
                self->pump();
            }));
    }

    // Judges the whole messages received, while fewer than the bound are in progress, then
    // reads on; at the bound the rest wait, unread, until an exchange ends.
    void pump() {
        dns::Datagram message;
        while (!closed_ && inProgress_ < limits_.maxInProgress) {
            const auto status = framer_.next(message);
            if (status == dns::TcpFramer::Status::bad) {
                closeNow(TcpClose::badFraming);
                return;
            }
            if (status == dns::TcpFramer::Status::more) {
                flush();
                read();
                return;
            }
            handle(std::move(message));
        }
        paused_ = !closed_;
        flush();
    }

    void handle(dns::Datagram message) {
        becomeBusy();
        auto judgement = judge_(message);
        flow::countJudgement(*upstream_.counters, metrics::Transport::tcp, judgement);
        switch (judgement.verdict) {
            case flow::Verdict::answer:
                send(*judgement.reply);
                break;
            case flow::Verdict::drop:
                break;
            case flow::Verdict::relay:
                // Over the cap shared with UDP the query is dropped, as an overloaded resolver
                // drops it.
                if (upstream_.limit && upstream_.limit->tryAcquire()) {
                    ++inProgress_;
                    startExchange(std::move(message));
                } else {
                    upstream_.counters->dropped(metrics::Drop::overInFlightCap);
                }
                break;
        }
        becomeIdleIfDone();
    }

    // Queues one framed reply; flush() sends what is queued.
    void send(dns::ByteView reply) {
        auto framed = dns::frameMessage(reply);
        if (!framed) {
            return;
        }
        queuedBytes_ += framed->size();
        if (queuedBytes_ > limits_.maxQueuedBytes) {
            closeNow(TcpClose::slowReader);  // a client that does not read its answers
            return;
        }
        queued_.push_back(std::move(*framed));
    }

    // Every reply queued since the last write leaves in one gathered write, so answers that are
    // ready together share a segment and none waits behind another for an acknowledgement.
    void flush() {
        if (closed_ || writing_ || queued_.empty()) {
            return;
        }
        writing_ = true;
        inWrite_.swap(queued_);
        buffers_.clear();
        for (const auto& framed : inWrite_) {
            buffers_.push_back(asio::buffer(framed));
        }
        asio::async_write(
            socket_, buffers_,
            asio::bind_executor(
                strand_, [self = shared_from_this()](const std::error_code& error, std::size_t) {
                    self->writing_ = false;
                    if (self->closed_) {
                        return;
                    }
                    if (error) {
                        self->closeNow();
                        return;
                    }
                    for (const auto& framed : self->inWrite_) {
                        self->queuedBytes_ -= framed.size();
                    }
                    self->inWrite_.clear();
                    self->flush();
                    self->becomeIdleIfDone();
                }));
    }

    void startExchange(dns::Datagram query);

    void exchangeEnded(std::optional<dns::Datagram> reply) {
        upstream_.limit->release();
        --inProgress_;
        if (closed_) {
            return;
        }
        if (reply) {
            send(*reply);
        }
        if (paused_ && !closed_) {
            paused_ = false;
            pump();
        }
        flush();
        becomeIdleIfDone();
    }

    void becomeBusy() {
        idle_.store(false, std::memory_order_release);
        ++idleGeneration_;
    }

    // Idle: no query in progress and no reply waiting to be written. The clock starts now.
    void becomeIdleIfDone() {
        if (closed_ || inProgress_ > 0 || writing_ || !queued_.empty() || idle()) {
            return;
        }
        idle_.store(true, std::memory_order_release);
        const auto generation = ++idleGeneration_;
        idleTimer_.expires_after(limits_.idleTimeout);
        idleTimer_.async_wait(
            [self = shared_from_this(), generation](const std::error_code& error) {
                if (!error && generation == self->idleGeneration_) {
                    self->closeNow(TcpClose::idle);
                }
            });
    }

    // Closed by the client, or by us for a reason that is counted.
    void closeNow(std::optional<TcpClose> reason = std::nullopt) {
        if (closed_) {
            return;
        }
        closed_ = true;
        if (reason) {
            upstream_.counters->tcpClosed(*reason);
        }
        idle_.store(false, std::memory_order_release);
        std::error_code ignored;
        socket_.close(ignored);
        idleTimer_.cancel();
        queued_.clear();
        if (const auto server = server_.lock()) {
            server->forget(this);
        }
    }

    asio::any_io_executor strand_;
    tcp::socket socket_;
    asio::steady_timer idleTimer_;
    const std::weak_ptr<TcpServer> server_;
    const std::shared_ptr<const TcpServer::Settings> settings_;  // outlives the server if need be
    const Judge& judge_;
    const TcpUpstream& upstream_;
    const TcpLimits& limits_;
    std::array<std::uint8_t, 16384> buffer_{};
    dns::TcpFramer framer_;
    std::vector<std::vector<std::uint8_t>> queued_;   // framed replies not yet written
    std::vector<std::vector<std::uint8_t>> inWrite_;  // the replies of the write under way
    std::vector<asio::const_buffer> buffers_;
    bool writing_ = false;
    std::size_t queuedBytes_ = 0;
    std::size_t inProgress_ = 0;
    bool paused_ = false;
    bool closed_ = false;
    std::atomic<bool> idle_{false};
    std::uint64_t idleGeneration_ = 0;
};

// One relayed query: its own TCP connection to the upstream, the query written, one reply read,
// all within the reply timeout. Runs on the client connection's strand, which it keeps alive.
class TcpConnection::Exchange : public std::enable_shared_from_this<Exchange> {
  public:
    Exchange(std::shared_ptr<TcpConnection> client, std::vector<std::uint8_t> framedQuery)
        : client_(std::move(client)),
          socket_(client_->strand_),
          timer_(client_->strand_),
          query_(std::move(framedQuery)) {}

    void start() {
        timer_.expires_after(client_->upstream_.replyTimeout);
        timer_.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error) {
                self->end(Outcome::timeout);
            }
        });
        socket_.async_connect(client_->upstream_.endpoint,
                              [self = shared_from_this()](const std::error_code& error) {
                                  if (error == std::errc::too_many_files_open ||
                                      error == std::errc::too_many_files_open_in_system) {
                                      // The query never left: a drop, not an exchange.
                                      self->settle(false);
                                      self->end(std::nullopt);
                                      return;
                                  }
                                  self->settle(true);
                                  if (error) {
                                      self->end(Outcome::failure);
                                      return;
                                  }
                                  std::error_code ignored;
                                  self->socket_.set_option(tcp::no_delay(true), ignored);
                                  self->send();
                              });
    }

  private:
    void send() {
        asio::async_write(socket_, asio::buffer(query_),
                          [self = shared_from_this()](const std::error_code& error, std::size_t) {
                              if (error) {
                                  self->end(Outcome::failure);
                                  return;
                              }
                              self->readLength();
                          });
    }

    void readLength() {
        asio::async_read(
            socket_, asio::buffer(length_),
            [self = shared_from_this()](const std::error_code& error, std::size_t) {
                if (error) {
                    self->end(Outcome::failure);
                    return;
                }
                self->reply_.resize((std::size_t{self->length_[0]} << 8) | self->length_[1]);
                self->readReply();
            });
    }

    void readReply() {
        asio::async_read(socket_, asio::buffer(reply_),
                         [self = shared_from_this()](const std::error_code& error, std::size_t) {
                             self->end(error ? Outcome::failure : Outcome::reply);
                         });
    }

    // Counts the query once: relayed, or dropped for want of a descriptor.
    void settle(bool relayed) {
        if (settled_) {
            return;
        }
        settled_ = true;
        auto& counters = *client_->upstream_.counters;
        relayed ? counters.relayed() : counters.dropped(metrics::Drop::descriptorsExhausted);
    }

    // Once: the socket closed, the timer stopped, the outcome counted, the client told (with the
    // reply when there is one).
    void end(std::optional<Outcome> outcome) {
        if (ended_) {
            return;
        }
        ended_ = true;
        std::error_code ignored;
        socket_.close(ignored);
        timer_.cancel();
        std::optional<dns::Datagram> reply;
        if (outcome) {
            settle(true);
            client_->upstream_.counters->exchangeEnded(*outcome);
            if (*outcome == Outcome::reply) {
                reply = std::move(reply_);
            }
        }
        client_->exchangeEnded(std::move(reply));
    }

    const std::shared_ptr<TcpConnection> client_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    std::vector<std::uint8_t> query_;
    std::array<std::uint8_t, 2> length_{};
    dns::Datagram reply_;
    bool settled_ = false;
    bool ended_ = false;
};

void TcpConnection::startExchange(dns::Datagram query) {
    auto framed = dns::frameMessage(query);
    if (!framed) {
        exchangeEnded(std::nullopt);
        return;
    }
    std::make_shared<Exchange>(shared_from_this(), std::move(*framed))->start();
}

TcpServer::TcpServer(asio::io_context& io, Judge judge, TcpUpstream upstream, TcpLimits limits)
    : io_(io),
      acceptor_(asio::make_strand(io)),
      retry_(acceptor_.get_executor()),
      settings_(std::make_shared<const Settings>(
          Settings{std::move(judge), std::move(upstream), limits})) {}

TcpServer::Started TcpServer::listen(asio::io_context& io, const std::string& address,
                                     std::uint16_t port, Judge judge, TcpUpstream upstream,
                                     TcpLimits limits) {
    std::error_code error;
    const auto ip = asio::ip::make_address(address, error);
    if (error) {
        return {nullptr, systemError(error)};
    }
    auto server = std::make_shared<TcpServer>(io, std::move(judge), std::move(upstream), limits);
    const tcp::endpoint endpoint(ip, port);
    auto& acceptor = server->acceptor_;
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error && ip.is_v6()) {
        acceptor.set_option(asio::ip::v6_only(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return {nullptr, systemError(error)};
    }
    server->accept();
    return {server, {}};
}

TcpServer::Started TcpServer::adopt(asio::io_context& io, int fd, Judge judge, TcpUpstream upstream,
                                    TcpLimits limits) {
    auto server = std::make_shared<TcpServer>(io, std::move(judge), std::move(upstream), limits);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return {nullptr, systemError(errno)};
    }
    std::error_code error;
    server->acceptor_.assign(local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, error);
    if (error) {
        return {nullptr, systemError(error)};
    }
    server->accept();
    return {server, {}};
}

void TcpServer::accept() {
    acceptor_.async_accept(
        asio::make_strand(io_),
        [self = shared_from_this()](const std::error_code& error, tcp::socket socket) {
            {
                const std::lock_guard lock(self->mutex_);
                if (self->stopped_) {
                    return;
                }
            }
            if (error) {
                // Out of descriptors, most likely: try again shortly rather than spin.
                self->retry_.expires_after(std::chrono::milliseconds(100));
                self->retry_.async_wait([self](const std::error_code& waitError) {
                    if (!waitError) {
                        self->accept();
                    }
                });
                return;
            }
            self->admit(std::move(socket));
            self->accept();
        });
}

void TcpServer::admit(tcp::socket socket) {
    std::shared_ptr<TcpConnection> victim;
    std::shared_ptr<TcpConnection> connection;
    {
        const std::lock_guard lock(mutex_);
        if (connections_.size() >= settings_->limits.maxConnections) {
            const auto idle = std::find_if(connections_.begin(), connections_.end(),
                                           [](const auto& c) { return c->idle(); });
            if (idle == connections_.end()) {
                settings_->upstream.counters->tcpClosed(TcpClose::connectionCap);
                std::error_code ignored;
                socket.close(ignored);  // every connection busy: the newcomer waits its turn
                return;
            }
            victim = *idle;
            connections_.erase(idle);
        }
        // Answers leave as soon as they are ready: Nagle's algorithm would hold a second answer
        // until the client acknowledged the first, which a client delays by up to 40 ms.
        std::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        connection =
            std::make_shared<TcpConnection>(std::move(socket), weak_from_this(), settings_);
        connections_.push_back(connection);
    }
    if (victim) {
        victim->close(TcpClose::connectionCap);
    }
    connection->start();
}

void TcpServer::forget(const TcpConnection* connection) {
    const std::lock_guard lock(mutex_);
    connections_.remove_if([connection](const auto& c) { return c.get() == connection; });
}

void TcpServer::stop() {
    std::list<std::shared_ptr<TcpConnection>> open;
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
        open.swap(connections_);
    }
    asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
        std::error_code ignored;
        self->acceptor_.close(ignored);
        self->retry_.cancel();
    });
    for (const auto& connection : open) {
        connection->close();
    }
}

std::uint16_t TcpServer::port() const {
    std::error_code error;
    const auto endpoint = acceptor_.local_endpoint(error);
    return error ? 0 : endpoint.port();
}

std::size_t TcpServer::connectionCount() const {
    const std::lock_guard lock(mutex_);
    return connections_.size();
}

std::size_t TcpServer::idleConnectionCount() const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(connections_.begin(), connections_.end(),
                                                  [](const auto& c) { return c->idle(); }));
}

}  // namespace sieveharbor::platform::linux_host
