#pragma once

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string_view>
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
// Endpoints are the senders' socket addresses.
//
// Threads: the socket is served by one event loop of the relay's pool, which also runs the
// exchanges its queries start: a read completion runs on that loop's thread, so an exchange made
// there takes its first step on the same thread right after the completion returns, with no
// hand-off. While a read is pending the loop watches the socket; on input it takes up to
// kMaxBatch datagrams with one recvmmsg and runs the completion, one read at a time (a second
// concurrent read fails with operation_in_progress). A read completion may issue the next read.
// Open completions and read refusals run on the loop too, never inside the call.
//
// Writes go straight to the socket on the calling thread, from any number of threads at once, and
// call their completion before writeDatagrams returns; except that writes made on the loop while
// a read completion of this flow runs are held and sent together with one sendmmsg when it
// returns, and their completions run then. A blocked batch answered from its own read completion
// thus costs one system call, not one per answer.
//
// Transient errors (EINTR, EAGAIN, ECONNREFUSED, ENOBUFS, ENOMEM) never fail a read; a datagram
// longer than the receive buffer is dropped rather than passed on cut short.
//
// Destroying the flow (or stop()) takes the socket off the loop; a pending read is then dropped
// without being called, as a stopped queue drops its pending work. An adopted socket is never
// shut down: the service manager may keep a copy of it for the process that follows this one.
class ListenerFlow final : public platform::UdpFlow {
  public:
    static constexpr std::size_t kMaxBatch = 64;
    static constexpr std::size_t kReceiveBufferSize = 65536;

    // address: numeric IPv4 or IPv6 text; port 0 lets the kernel choose. reusePort lets several
    // flows share the address (SO_REUSEPORT), each on a loop of its own, so that the kernel
    // spreads the queries over the loops. The loop must outlive the flow.
    static ListenerBindResult bind(EventLoop& loop, std::string_view address, std::uint16_t port,
                                   bool reusePort = false);
    // The next loop of the pool in turn.
    static ListenerBindResult bind(LoopPool& pool, std::string_view address, std::uint16_t port);
    // Binds a plain socket to the address and closes it again: the error a bind without
    // SO_REUSEPORT would meet (a port someone holds), or none.
    static std::error_code probe(std::string_view address, std::uint16_t port);

    // Takes over fd, a bound IPv4 or IPv6 UDP socket made by someone else (the service manager's
    // socket activation), which may keep a copy of it for the process that follows this one. The
    // flow closes its fd but never shuts the socket down, so the socket stays good for that next
    // process. fd is closed on failure too: wrong_protocol_type for a socket that is not UDP,
    // address_family_not_supported for one that is not IPv4 or IPv6.
    static ListenerBindResult adopt(EventLoop& loop, int fd);

    ~ListenerFlow() override;

    const SocketAddress& localAddress() const noexcept { return local_; }
    std::uint16_t port() const noexcept { return local_.port(); }

    void openWithLocalEndpoint(OpenCompletion completion) override;
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override;
    void writeDatagrams(std::vector<dns::Datagram> datagrams, std::vector<Endpoint> endpoints,
                        WriteCompletion completion) override;
    void closeReadWithError(std::optional<FlowError> error) override;
    void closeWriteWithError(std::optional<FlowError> error) override;

    // Takes the socket off its loop and drops a pending read; once it has returned (off the
    // loop), no read completion of this flow starts. Idempotent.
    void stop();

    struct Receiver;
    // Private in spirit: use bind().
    ListenerFlow(std::shared_ptr<Receiver> receiver, SocketAddress local);

  private:
    static ListenerBindResult start(EventLoop& loop, std::shared_ptr<Receiver> receiver,
                                    const SocketAddress& local);

    // Shared with the loop, which may outlive the flow by the completion it is running.
    std::shared_ptr<Receiver> receiver_;
    SocketAddress local_;
};

}  // namespace sieveharbor::platform::linux_host
