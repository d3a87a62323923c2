#pragma once

#include <sys/socket.h>

#include <asio/ip/udp.hpp>
#include <atomic>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "flow/udp_flow.h"
#include "platform/linux/asio_queue.h"

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
// Threads: each listener has its own receive thread, which waits in a blocking recvmmsg and runs
// the read completions, one read at a time (a second concurrent read fails with
// operation_in_progress). A read completion may issue the next read, which the thread then serves
// as soon as the completion returns. A blocked query thus costs what any UDP server's does: one
// receive and one send, with no event loop or thread hand-off in between. Open completions and
// read refusals run on the queue, never inside the call.
//
// Writes go straight to the socket on the calling thread, from any number of threads at once, and
// call their completion before writeDatagrams returns; except that writes made on the thread
// running a read completion, while it runs, are held and sent together with one sendmmsg when it
// returns, and their completions run then. A blocked batch answered from its own read completion
// thus costs one system call, not one per answer.
//
// A read waits until at least one datagram is there and returns up to kMaxBatch of them. Transient
// errors (EINTR, EAGAIN, ECONNREFUSED, ENOBUFS, ENOMEM) never fail a read; a datagram longer than
// the receive buffer is dropped rather than passed on cut short.
//
// Destroying the flow (or stop()) ends the receive thread; a pending read is then dropped without
// being called, as a stopped queue drops its pending work. A socket of its own is shut down to end
// the thread's wait; an adopted one is waited on with poll beside an eventfd instead, since a
// shutdown would also close the service manager's copy of it for good.
class ListenerFlow final : public flow::UdpFlow {
  public:
    static constexpr std::size_t kMaxBatch = 64;
    static constexpr std::size_t kReceiveBufferSize = 65536;

    // address: numeric IPv4 or IPv6 text; port 0 lets the kernel choose. The queue must outlive
    // the flow.
    static ListenerBindResult bind(AsioQueue& queue, std::string_view address, std::uint16_t port);

    // Takes over fd, a bound IPv4 or IPv6 UDP socket made by someone else (the service manager's
    // socket activation), which may keep a copy of it for the process that follows this one. The
    // flow closes its fd but never shuts the socket down, so the socket stays good for that next
    // process. fd is closed on failure too: wrong_protocol_type for a socket that is not UDP,
    // address_family_not_supported for one that is not IPv4 or IPv6.
    static ListenerBindResult adopt(AsioQueue& queue, int fd);

    ~ListenerFlow() override;

    asio::ip::udp::endpoint localEndpoint() const;

    void openWithLocalEndpoint(OpenCompletion completion) override;
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override;
    void writeDatagrams(std::vector<dns::Datagram> datagrams, std::vector<flow::Endpoint> endpoints,
                        WriteCompletion completion) override;
    void closeReadWithError(std::optional<flow::FlowError> error) override;
    void closeWriteWithError(std::optional<flow::FlowError> error) override;

    // Ends the receive thread and waits for it, unless called on it; idempotent.
    void stop();

    struct Receiver;
    // Private in spirit: use bind().
    ListenerFlow(asio::io_context& io, std::shared_ptr<Receiver> receiver,
                 asio::ip::udp::endpoint local);

  private:
    static ListenerBindResult start(AsioQueue& queue, const std::shared_ptr<Receiver>& receiver,
                                    const asio::ip::udp::endpoint& local);

    asio::io_context& io_;
    // Shared with the receive thread, which may outlive the flow by the completion it is running.
    std::shared_ptr<Receiver> receiver_;
    asio::ip::udp::endpoint local_;
};

}  // namespace sieveharbor::platform::linux_host
