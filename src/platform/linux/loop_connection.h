#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/connection.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/socket_address.h"
#include "platform/linux/tls_connection.h"

namespace sieveharbor::platform::linux_host {

// A connected socket, fresh for each connection, so each exchange gets its own kernel-chosen
// source port and the kernel pairs the reply with it: UDP for datagram connections, TCP (with
// Nagle's algorithm off, so a query never waits for an acknowledgement) for stream ones.
//
// Runs on the loop of its lane: the socket is made and connected in the first task there once
// started (a TCP connect completes when the socket becomes writable), a send goes straight to the
// socket, and what is waited for is waited for with one epoll registration on that loop;
// completions are queued on the same loop, with no other thread involved. Methods may be called
// from any thread. Received bytes are read into a per-thread 64 KiB buffer and copied out at
// their exact size.
class LoopConnection final : public Connection,
                             public Watcher,
                             public std::enable_shared_from_this<LoopConnection> {
  public:
    LoopConnection(const SocketAddress& remote, Transport transport,
                   std::shared_ptr<LoopLane> lane);
    ~LoopConnection() override;

    const std::shared_ptr<Queue>& lane() const noexcept override { return lane_; }
    void setStateUpdateHandler(StateUpdateHandler handler) override;
    void start() override;
    void send(dns::Datagram content, SendCompletion completion) override;
    void receiveMessage(ReceiveCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;

    void onReady(std::uint32_t events) override;
    void abandon() override;

  private:
    void open();
    void connected();
    void report(ConnectionState state);
    void startReceive(std::size_t maximum, ReceiveCompletion completion);
    void readReply();
    void writeRest();
    // Waits for the socket to be ready for `events`; false (errno set) when the kernel refuses.
    bool await(std::uint32_t events);
    // Why the socket cannot be used now: cancelled, or never opened.
    std::optional<ConnectionError> unusable() const;

    const SocketAddress remote_;
    const Transport transport_;
    EventLoop& loop_;  // the lane's
    const std::shared_ptr<Queue> lane_;
    // Shared, so that a report copies a pointer and not the handler: the handler may cancel,
    // which lets go of it while it runs.
    std::shared_ptr<const StateUpdateHandler> stateHandler_;
    ReceiveCompletion pendingReceive_;
    std::size_t receiveMaximum_ = 0;
    dns::Datagram unsent_;  // a stream's bytes that did not fit in the socket at once
    std::size_t unsentFrom_ = 0;
    SendCompletion pendingSend_;
    int fd_ = -1;
    bool watched_ = false;     // fd_ is in the loop's epoll set
    bool held_ = false;        // the loop holds the connection
    bool connecting_ = false;  // a stream's connect is under way
    bool started_ = false;
    bool cancelled_ = false;
};

// Makes LoopConnections, each on the lane it is given: a lane of the pool the factory was made
// with (LoopPool::makeSerialQueue() gives nothing else), so an exchange runs its attempts on one
// loop, beside the flow that started it.
// A TLS upstream's connection is a TlsLoopConnection over `tls` (without one it fails at once:
// nothing ever goes to a TLS upstream in the clear).
class LoopConnectionFactory final : public ConnectionFactory {
  public:
    explicit LoopConnectionFactory(std::shared_ptr<LoopPool> loops,
                                   std::shared_ptr<TlsClientContext> tls = nullptr)
        : loops_(std::move(loops)), tls_(std::move(tls)) {}

    std::shared_ptr<Connection> makeConnection(const Upstream& to, Transport transport,
                                               std::shared_ptr<Queue> lane) override;

  private:
    const std::shared_ptr<LoopPool> loops_;
    const std::shared_ptr<TlsClientContext> tls_;
};

}  // namespace sieveharbor::platform::linux_host
