#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/linux/event_loop.h"
#include "platform/linux/socket_address.h"
#include "platform/udp_flow.h"

namespace sieveharbor::platform::linux_host {

class ListenerFlow;

// flow set on success; otherwise error holds the system's reason (error.message()) and errno
// (error.value()), for a message such as "cannot bind 127.0.0.1:53: Permission denied".
struct ListenerBindResult {
    std::shared_ptr<ListenerFlow> flow;
    std::error_code error;
};

// One bound UDP socket as a flow, the Linux stand-in for the platform handing over a UDP flow.
// Endpoints are the senders' socket addresses. The socket is served by one event loop of the
// relay's pool, which also runs the exchanges its queries start, so an exchange made in a read
// completion takes its first step on the same thread, with no hand-off.
class ListenerFlow final : public platform::UdpFlow {
  public:
    static constexpr std::size_t kMaxBatch = 64;
    static constexpr std::size_t kReceiveBufferSize = 65536;

    // Port 0 lets the kernel choose. reusePort lets several flows share the address
    // (SO_REUSEPORT), each on a loop of its own, so that the kernel spreads the queries over the
    // loops. The loop must outlive the flow.
    static ListenerBindResult bind(EventLoop& loop, const platform::SocketAddress& address,
                                   bool reusePort = false);
    // The next loop of the pool in turn.
    static ListenerBindResult bind(LoopPool& pool, const platform::SocketAddress& address);
    // Binds a plain socket to the address and closes it again: the error a bind without
    // SO_REUSEPORT would meet (a port someone holds), or none.
    static std::error_code probe(const platform::SocketAddress& address);

    // Takes over fd, a bound IPv4 or IPv6 UDP socket made by someone else (the service manager's
    // socket activation), which may keep a copy of it for the process that follows this one. The
    // flow closes its fd but never shuts the socket down, so the socket stays good for that next
    // process. fd is closed on failure too: wrong_protocol_type for a socket that is not UDP,
    // address_family_not_supported for one that is not IPv4 or IPv6.
    static ListenerBindResult adopt(EventLoop& loop, int fd);

    ~ListenerFlow() override;

    const SocketAddress& localAddress() const noexcept { return local_; }
    std::uint16_t port() const noexcept { return local_.port(); }

    // Completes on the loop, never inside the call.
    void openWithLocalEndpoint(OpenCompletion completion) override;
    // Completes on the loop once input arrives, with up to kMaxBatch datagrams taken by one
    // recvmmsg. A second read while one is pending fails with operation_in_progress, on the loop.
    // Transient errors (EINTR, EAGAIN, ECONNREFUSED, ENOBUFS, ENOMEM) never fail a read; a
    // datagram longer than the receive buffer is dropped rather than passed on cut short.
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override;
    // Sends at once on the calling thread, from any number of threads, and completes before it
    // returns; except that writes made on the loop while a read completion of this flow runs are
    // held and sent together with one sendmmsg when it returns (a blocked batch answered from its
    // own read completion costs one system call), and complete then.
    void writeDatagrams(DatagramBatch datagrams, WriteCompletion completion) override;
    // Every later read is refused; a pending one completes with operation_canceled.
    void closeReadWithError(std::optional<FlowError> error) override;
    void closeWriteWithError(std::optional<FlowError> error) override;

    // Takes the socket off its loop and drops a pending read, as a stopped queue drops its work;
    // once it has returned (off the loop), no read completion of this flow starts. Destruction
    // does the same. An adopted socket is never shut down: the service manager may keep a copy
    // of it for the process that follows this one. Idempotent.
    void stop();

    struct Receiver;

  private:
    struct PrivateTag {};

  public:
    ListenerFlow(PrivateTag, std::shared_ptr<Receiver> receiver, SocketAddress local);

  private:
    static ListenerBindResult start(EventLoop& loop, std::shared_ptr<Receiver> receiver,
                                    const SocketAddress& local);

    // Shared with the loop, which may outlive the flow by the completion it is running.
    std::shared_ptr<Receiver> receiver_;
    SocketAddress local_;
};

}  // namespace sieveharbor::platform::linux_host
