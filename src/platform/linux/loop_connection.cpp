#include "platform/linux/loop_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

// The largest UDP payload fits; a reply is never cut short.
constexpr std::size_t kReceiveBufferSize = 65536;

std::error_code cancelledError() {
    return std::make_error_code(std::errc::operation_canceled);
}

}  // namespace

LoopConnection::LoopConnection(const SocketAddress& remote, Transport transport,
                               std::shared_ptr<LoopLane> lane)
    : remote_(remote), transport_(transport), loop_(lane->loop()), lane_(std::move(lane)) {}

LoopConnection::~LoopConnection() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::optional<ConnectionError> LoopConnection::unusable() const {
    if (cancelled_) {
        return cancelledError();
    }
    if (fd_ < 0 || connecting_) {
        return std::make_error_code(std::errc::not_connected);
    }
    return std::nullopt;
}

bool LoopConnection::await(std::uint32_t events) {
    if (watched_) {
        return loop_.rearmOnce(fd_, this, events);
    }
    watched_ = loop_.watchOnce(fd_, this, events);
    return watched_;
}

void LoopConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    stateHandler_ =
        handler ? std::make_shared<const StateUpdateHandler>(std::move(handler)) : nullptr;
}

void LoopConnection::start() {
    if (started_) {
        return;
    }
    started_ = true;
    // Started from the lane's own task, as an exchange starts it: the socket is made and
    // connected now, and a datagram exchange sends in the same step.
    loop_.dispatch([self = shared_from_this()] { self->open(); });
}

void LoopConnection::open() {
    if (cancelled_) {
        return;
    }
    report(ConnectionState::preparing());
    const bool stream = transport_ == Transport::stream;
    fd_ = ::socket(remote_.family(),
                   (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    // UDP connect sends nothing: it fixes the peer, so the kernel drops strangers' datagrams and
    // reports an ICMP refusal as an error on receive. TCP connects in the background.
    bool ok =
        fd_ >= 0 && (!stream || ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0);
    if (ok && ::connect(fd_, remote_.data(), remote_.length) != 0) {
        ok = stream && errno == EINPROGRESS && await(EventLoop::kOutput);
        connecting_ = ok;
    }
    if (!ok) {
        const int number = errno;
        connecting_ = false;
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        report(ConnectionState::failed(systemError(number)));
        return;
    }
    // Kept by the loop while the socket is open: one still open when the loop ends is abandoned,
    // which lets go of the exchange its handlers hold.
    loop_.hold(shared_from_this());
    held_ = true;
    if (!connecting_) {
        report(ConnectionState::ready());
    }
}

// The stream's connect has finished, one way or the other.
void LoopConnection::connected() {
    connecting_ = false;
    int number = 0;
    socklen_t length = sizeof number;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &number, &length) != 0) {
        number = errno;
    }
    report(number == 0 ? ConnectionState::ready() : ConnectionState::failed(systemError(number)));
}

void LoopConnection::send(dns::Datagram content, SendCompletion completion) {
    if (!started_) {
        completion(std::make_error_code(std::errc::not_connected));
        return;
    }
    loop_.dispatch([self = shared_from_this(), content = std::move(content),
                    completion = std::move(completion)]() mutable {
        auto error = self->unusable();
        if (!error && self->pendingSend_) {
            error = std::make_error_code(std::errc::operation_in_progress);
        }
        if (!error) {
            const ssize_t sent =
                ::send(self->fd_, content.data(), content.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            const bool stream = self->transport_ == Transport::stream;
            if (stream && (sent >= 0 || wouldBlock(errno)) &&
                static_cast<std::size_t>(std::max<ssize_t>(sent, 0)) < content.size()) {
                // The rest goes as the socket drains.
                self->unsent_ = std::move(content);
                self->unsentFrom_ = static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
                self->pendingSend_ = std::move(completion);
                if (self->await(EventLoop::kOutput)) {
                    return;
                }
                completion = std::move(self->pendingSend_);
                self->pendingSend_ = nullptr;
                error = systemError(errno);
            } else if (sent < 0) {
                error = systemError(errno);
            }
        }
        self->loop_.post([completion = std::move(completion), error] { completion(error); });
    });
}

void LoopConnection::writeRest() {
    const ssize_t sent = ::send(fd_, unsent_.data() + unsentFrom_, unsent_.size() - unsentFrom_,
                                MSG_DONTWAIT | MSG_NOSIGNAL);
    std::optional<ConnectionError> error;
    if (sent < 0 && !wouldBlock(errno)) {
        error = systemError(errno);
    } else {
        unsentFrom_ += static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
        if (unsentFrom_ < unsent_.size()) {
            if (await(EventLoop::kOutput)) {
                return;
            }
            error = systemError(errno);
        }
    }
    auto completion = std::move(pendingSend_);
    pendingSend_ = nullptr;
    unsent_ = {};
    loop_.post([completion = std::move(completion), error] { completion(error); });
}

void LoopConnection::receiveMessage(ReceiveCompletion completion) {
    startReceive(kReceiveBufferSize, std::move(completion));
}

// What has arrived is taken, at least one byte, which meets the only minimum asked for (1).
void LoopConnection::receive(std::size_t /*minimum*/, std::size_t maximum,
                             ReceiveCompletion completion) {
    startReceive(std::min(maximum, kReceiveBufferSize), std::move(completion));
}

void LoopConnection::startReceive(std::size_t maximum, ReceiveCompletion completion) {
    if (!started_) {
        completion(std::nullopt, false, std::make_error_code(std::errc::not_connected));
        return;
    }
    loop_.dispatch(
        [self = shared_from_this(), maximum, completion = std::move(completion)]() mutable {
            auto error = self->unusable();
            if (!error && self->pendingReceive_) {
                error = std::make_error_code(std::errc::device_or_resource_busy);
            }
            if (!error) {
                self->pendingReceive_ = std::move(completion);
                self->receiveMaximum_ = maximum;
                if (self->await(EventLoop::kInput)) {
                    return;
                }
                error = systemError(errno);
                completion = std::move(self->pendingReceive_);
                self->pendingReceive_ = nullptr;
            }
            self->loop_.post([completion = std::move(completion), error] {
                completion(std::nullopt, false, error);
            });
        });
}

void LoopConnection::onReady(std::uint32_t /*events*/) {
    if (cancelled_ || fd_ < 0) {
        return;  // closed in this round
    }
    if (connecting_) {
        connected();
    } else if (pendingSend_) {
        writeRest();
    } else if (pendingReceive_) {
        readReply();
    }
}

void LoopConnection::readReply() {
    thread_local std::array<std::uint8_t, kReceiveBufferSize> buffer;
    const ssize_t size = ::recv(fd_, buffer.data(), receiveMaximum_, MSG_DONTWAIT);
    if (size < 0 && wouldBlock(errno) && await(EventLoop::kInput)) {
        return;  // nothing after all: wait for more
    }
    auto completion = std::move(pendingReceive_);
    pendingReceive_ = nullptr;
    if (size < 0) {
        completion(std::nullopt, false, systemError(errno));
        return;
    }
    // A datagram is whole; a stream that gives nothing has ended.
    const bool complete = transport_ == Transport::datagram || size == 0;
    completion(dns::Datagram(buffer.begin(), buffer.begin() + size), complete, std::nullopt);
}

void LoopConnection::cancel() {
    if (!started_) {
        // Never started: nothing pending and nothing to report; just let the handler go.
        cancelled_ = true;
        stateHandler_ = nullptr;
        return;
    }
    loop_.dispatch([self = shared_from_this()] {
        if (self->cancelled_) {
            return;
        }
        self->cancelled_ = true;
        if (self->fd_ >= 0) {
            ::close(self->fd_);  // leaves the epoll set with it
            self->fd_ = -1;
        }
        if (self->held_) {
            self->loop_.forget(self.get());
        }
        auto receive = std::move(self->pendingReceive_);
        self->pendingReceive_ = nullptr;
        auto send = std::move(self->pendingSend_);
        self->pendingSend_ = nullptr;
        self->loop_.post([self, receive = std::move(receive), send = std::move(send)] {
            if (send) {
                send(cancelledError());
            }
            if (receive) {
                receive(std::nullopt, false, cancelledError());
            }
            self->report(ConnectionState::cancelled());
            self->stateHandler_ = nullptr;
        });
    });
}

void LoopConnection::abandon() {
    cancelled_ = true;
    pendingReceive_ = nullptr;
    pendingSend_ = nullptr;
    stateHandler_ = nullptr;
}

void LoopConnection::report(ConnectionState state) {
    if (const auto handler = stateHandler_) {
        (*handler)(state);
    }
}

std::shared_ptr<Connection> LoopConnectionFactory::makeConnection(const Upstream& to,
                                                                  Transport transport,
                                                                  std::shared_ptr<Queue> lane) {
    auto loopLane = std::static_pointer_cast<LoopLane>(std::move(lane));
    if (to.tls()) {
        return std::make_shared<TlsLoopConnection>(to, tls_, std::move(loopLane));
    }
    return std::make_shared<LoopConnection>(SocketAddress::from(to.address), transport,
                                            std::move(loopLane));
}

}  // namespace sieveharbor::platform::linux_host
