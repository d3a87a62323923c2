#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/ip/udp.hpp>
#include <memory>
#include <optional>

#include "platform/connection.h"
#include "platform/linux/asio_queue.h"

namespace sieveharbor::platform::linux_host {

// A connected UDP socket, fresh for each connection, so each exchange gets its own kernel-chosen
// source port and the kernel pairs the reply with it.
//
// Handlers run on the queue given to start() when it is an Asio queue (on a strand of it if that
// queue is concurrent); any other queue makes the connection report failed. Socket work is done
// on that same executor, so methods may be called from any thread. The reply is read into a
// per-thread 64 KiB buffer and copied out at its exact size, so a waiting exchange costs no buffer.
class AsioConnection final : public Connection,
                             public std::enable_shared_from_this<AsioConnection> {
  public:
    // remote empty: the host text was not an address; the connection reports failed when started.
    AsioConnection(asio::io_context& io, std::optional<asio::ip::udp::endpoint> remote);

    void setStateUpdateHandler(StateUpdateHandler handler) override;
    void start(std::shared_ptr<Queue> queue) override;
    void send(dns::Datagram content, SendCompletion completion) override;
    void receiveMessage(ReceiveCompletion completion) override;
    void cancel() override;

  private:
    void open();
    void awaitReply(ReceiveCompletion completion);
    void report(ConnectionState state);

    std::optional<asio::ip::udp::endpoint> remote_;
    asio::ip::udp::socket socket_;
    asio::any_io_executor executor_;
    std::shared_ptr<Queue> queue_;
    StateUpdateHandler stateHandler_;
    bool started_ = false;
    bool cancelled_ = false;
};

// Makes AsioConnections on the queue's io_context. Host text must be a numeric IPv4 or IPv6
// address: the upstream is never looked up by name, since that lookup could loop back through
// this very proxy.
class AsioConnectionFactory final : public ConnectionFactory {
  public:
    explicit AsioConnectionFactory(AsioQueue& queue) : queue_(queue) {}

    std::shared_ptr<Connection> makeConnection(std::string_view host, std::uint16_t port) override;

  private:
    AsioQueue& queue_;
};

}  // namespace sieveharbor::platform::linux_host
