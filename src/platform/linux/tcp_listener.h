#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/linux/event_loop.h"
#include "platform/linux/socket_address.h"
#include "platform/stream_flow.h"

namespace sieveharbor::platform::linux_host {

class TcpListener;

struct TcpListenResult {
    std::shared_ptr<TcpListener> listener;
    std::error_code error;  // when listener is empty: the system's reason
};

// A listening TCP socket, the Linux stand-in for the platform handing over TCP flows: it accepts
// connections and does nothing else. Each connection, with Nagle's algorithm off so an answer
// never waits for the client's acknowledgement of the one before, becomes a StreamSocketFlow on
// the pool's loops in turn and is handed to onFlow on that loop's thread, so that whatever serves
// the flow runs beside it.
//
// The socket is watched on one loop of the pool. Out of descriptors, accepting pauses for a moment
// rather than spinning on a connection it cannot take.
class TcpListener final : public Watcher, public std::enable_shared_from_this<TcpListener> {
  public:
    using OnFlow = std::function<void(std::shared_ptr<StreamFlow> flow)>;

    // Binds and listens on an IPv4 or IPv6 address (an IPv6 one for IPv6 only); port 0 lets the
    // kernel choose.
    static TcpListenResult listen(LoopPool& pool, const platform::SocketAddress& address,
                                  OnFlow onFlow);
    // Serves a listening stream socket made by someone else (socket activation); takes fd, and
    // closes it on failure too.
    static TcpListenResult adopt(LoopPool& pool, int fd, OnFlow onFlow);

    TcpListener(LoopPool& pool, EventLoop& loop, int fd, SocketAddress local, OnFlow onFlow);
    ~TcpListener() override;

    // Stops accepting and closes the socket; once it has returned (off the loop), onFlow is not
    // called for a new connection. Flows already handed over are their server's. Idempotent.
    void stop();
    std::uint16_t port() const noexcept { return local_.port(); }

    void onReady(std::uint32_t events) override;
    void abandon() override;

  private:
    static TcpListenResult start(LoopPool& pool, int fd, SocketAddress local, OnFlow onFlow);
    void pause();

    LoopPool& pool_;
    EventLoop& loop_;
    int fd_;
    const SocketAddress local_;
    const std::shared_ptr<const OnFlow> onFlow_;
    std::shared_ptr<Timer> retry_;
    bool stopped_ = false;  // loop thread only
};

}  // namespace sieveharbor::platform::linux_host
