#include "platform/linux/tcp_listener.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "platform/linux/stream_socket_flow.h"
#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

// How long accepting pauses when no descriptor is left for a connection.
constexpr std::chrono::milliseconds kRetryAfter{100};

bool outOfResources(int number) {
    return number == EMFILE || number == ENFILE || number == ENOBUFS || number == ENOMEM;
}

}  // namespace

TcpListenResult TcpListener::listen(LoopPool& pool, const platform::SocketAddress& address,
                                    OnFlow onFlow) {
    const auto local = SocketAddress::from(address);
    const auto bound = bindSocket(local, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                  {.reuseAddress = true, .listen = true});
    if (bound.fd < 0) {
        return {nullptr, bound.error};
    }
    return start(pool, bound.fd, SocketAddress::boundTo(bound.fd).value_or(local),
                 std::move(onFlow));
}

TcpListenResult TcpListener::adopt(LoopPool& pool, int fd, OnFlow onFlow) {
    const auto local = SocketAddress::boundTo(fd);
    if (!local) {
        ::close(fd);
        return {nullptr, std::make_error_code(std::errc::address_family_not_supported)};
    }
    return start(pool, fd, *local, std::move(onFlow));
}

TcpListenResult TcpListener::start(LoopPool& pool, int fd, SocketAddress local, OnFlow onFlow) {
    auto& loop = pool.nextLoop();
    auto listener = std::make_shared<TcpListener>(pool, loop, fd, local, std::move(onFlow));
    loop.post([listener] {
        if (!listener->stopped_ && listener->loop_.watchAllInput(listener->fd_, listener.get())) {
            listener->loop_.hold(listener);
        }
    });
    return {listener, {}};
}

TcpListener::TcpListener(LoopPool& pool, EventLoop& loop, int fd, SocketAddress local,
                         OnFlow onFlow)
    : pool_(pool),
      loop_(loop),
      fd_(fd),
      local_(local),
      onFlow_(std::make_shared<const OnFlow>(std::move(onFlow))) {}

TcpListener::~TcpListener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void TcpListener::onReady(std::uint32_t /*events*/) {
    for (int accepted = 0; !stopped_ && accepted < 64; ++accepted) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (outOfResources(errno)) {
                pause();
            }
            // EAGAIN: none left; anything else (a connection aborted before it was taken) is the
            // client's, and the next one is taken on the next call.
            return;
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // The descriptor is owned by the task, so a loop that ends before running it closes it.
        auto owned = std::shared_ptr<int>(new int(fd), [](int* p) {
            if (*p >= 0) {
                ::close(*p);
            }
            delete p;
        });
        auto& loop = pool_.nextLoop();
        loop.post([&loop, owned, onFlow = onFlow_] {
            const int taken = std::exchange(*owned, -1);
            if (auto flow = StreamSocketFlow::adopt(loop, taken)) {
                (*onFlow)(std::move(flow));
            }
        });
    }
}

void TcpListener::pause() {
    loop_.unwatch(fd_);
    retry_ = loop_.scheduleAfter(kRetryAfter, [weak = weak_from_this()] {
        const auto self = weak.lock();
        if (self && !self->stopped_) {
            self->loop_.watchAllInput(self->fd_, self.get());
        }
    });
}

void TcpListener::stop() {
    // Waited for, so that no connection is accepted after stop() returns.
    loop_.runAndWait([self = shared_from_this()] {
        if (self->stopped_) {
            return;  // stopped before, or abandoned by its loop
        }
        self->stopped_ = true;
        if (self->retry_) {
            self->retry_->cancel();
        }
        ::close(self->fd_);  // leaves the epoll set with it
        self->fd_ = -1;
        self->loop_.forget(self.get());
    });
}

void TcpListener::abandon() {
    stopped_ = true;
}

}  // namespace sieveharbor::platform::linux_host
