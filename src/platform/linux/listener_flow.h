#pragma once

#include <sys/socket.h>

#include <asio/ip/udp.hpp>
#include <asio/strand.hpp>
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
// Threads: open and read completions run on the listener's own strand of the queue, one read at a
// time (a second concurrent read fails at once with operation_in_progress). A read completion may
// issue the next read; while datagrams are waiting it is served on the same thread once the
// completion returns (a few batches in a row, then the queue gets a turn).
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
class ListenerFlow final : public flow::UdpFlow, public std::enable_shared_from_this<ListenerFlow> {
  public:
    static constexpr std::size_t kMaxBatch = 64;
    static constexpr std::size_t kReceiveBufferSize = 65536;

    // address: numeric IPv4 or IPv6 text; port 0 lets the kernel choose. The queue must outlive
    // the flow.
    static ListenerBindResult bind(AsioQueue& queue, std::string_view address, std::uint16_t port);

    ~ListenerFlow() override;

    asio::ip::udp::endpoint localEndpoint() const;

    void openWithLocalEndpoint(OpenCompletion completion) override;
    void readDatagramsWithCompletionHandler(ReadCompletion completion) override;
    void writeDatagrams(std::vector<dns::Datagram> datagrams, std::vector<flow::Endpoint> endpoints,
                        WriteCompletion completion) override;
    void closeReadWithError(std::optional<flow::FlowError> error) override;
    void closeWriteWithError(std::optional<flow::FlowError> error) override;

    // Private in spirit: use bind().
    ListenerFlow(asio::io_context& io, asio::ip::udp::socket socket);

  private:
    struct Slot;
    struct HeldWrites;

    void awaitReadable();
    void receiveBatch();
    void finishRead(std::optional<std::vector<dns::Datagram>> datagrams,
                    std::optional<std::vector<flow::Endpoint>> endpoints,
                    std::optional<flow::FlowError> error);
    // Adds one write to `held`; `flush` sends everything held and calls the completions. Writes
    // from the running read completion gather in held_; any other write is flushed at once.
    static void hold(HeldWrites& held, std::vector<dns::Datagram>& datagrams,
                     std::vector<flow::Endpoint>& endpoints, WriteCompletion& completion);
    void flush(HeldWrites& held);
    void flushHeldWrites();

    asio::strand<asio::io_context::executor_type> strand_;
    asio::ip::udp::socket socket_;
    const int fd_;
    // Touched only on strand_.
    ReadCompletion pendingRead_;
    bool readClosed_ = false;
    std::unique_ptr<std::uint8_t[]> buffers_;
    std::vector<Slot> slots_;
    // Touched only by the thread running a read completion, and only while it runs.
    std::unique_ptr<HeldWrites> held_;
    std::atomic<bool> writeClosed_{false};
};

}  // namespace sieveharbor::platform::linux_host
