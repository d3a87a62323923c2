#include "platform/linux/loop_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

// The largest UDP payload fits; a reply is never cut short.
constexpr std::size_t kReplyBufferSize = 65536;

std::error_code cancelledError() {
    return std::make_error_code(std::errc::operation_canceled);
}

}  // namespace

LoopConnection::LoopConnection(std::optional<sockaddr_storage> remote, socklen_t remoteLength)
    : remote_(remote), remoteLength_(remoteLength) {}

LoopConnection::~LoopConnection() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

template <class Work>
void LoopConnection::onLoop(Work work) {
    if (loop_->onLoopThread()) {
        work();
    } else {
        loop_->post(std::move(work));
    }
}

std::optional<ConnectionError> LoopConnection::unusable() const {
    if (cancelled_) {
        return cancelledError();
    }
    if (fd_ < 0) {
        return std::make_error_code(std::errc::not_connected);
    }
    return std::nullopt;
}

void LoopConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    stateHandler_ =
        handler ? std::make_shared<const StateUpdateHandler>(std::move(handler)) : nullptr;
}

void LoopConnection::start(std::shared_ptr<Queue> queue) {
    if (started_ || !queue) {
        return;
    }
    started_ = true;
    queue_ = queue;
    auto* lane = dynamic_cast<LoopLane*>(queue.get());
    if (lane == nullptr) {
        // A queue we cannot run socket work on: say so through the queue, as a failed connection.
        queue->post([self = shared_from_this()] {
            self->report(ConnectionState::failed(std::make_error_code(std::errc::not_supported)));
        });
        return;
    }
    loop_ = &lane->loop();
    // Started from the lane's own task, as an exchange starts it: the socket is made and
    // connected now, and the exchange sends in the same step.
    onLoop([self = shared_from_this()] { self->open(); });
}

void LoopConnection::open() {
    if (cancelled_) {
        return;
    }
    report(ConnectionState::preparing());
    if (!remote_) {
        report(ConnectionState::failed(std::make_error_code(std::errc::invalid_argument)));
        return;
    }
    fd_ = ::socket(remote_->ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // UDP connect sends nothing: it fixes the peer, so the kernel drops strangers' datagrams and
    // reports an ICMP refusal as an error on receive.
    if (fd_ < 0 ||
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&*remote_), remoteLength_) != 0) {
        const int number = errno;
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        report(ConnectionState::failed(systemError(number)));
        return;
    }
    // Kept by the loop while the socket is open: one still open when the loop ends is abandoned,
    // which lets go of the exchange its handlers hold.
    loop_->hold(shared_from_this());
    held_ = true;
    report(ConnectionState::ready());
}

void LoopConnection::send(dns::Datagram content, SendCompletion completion) {
    if (loop_ == nullptr) {
        completion(std::make_error_code(std::errc::not_connected));
        return;
    }
    onLoop([self = shared_from_this(), content = std::move(content),
            completion = std::move(completion)]() mutable {
        auto error = self->unusable();
        if (!error &&
            ::send(self->fd_, content.data(), content.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
            error = systemError(errno);
        }
        self->loop_->post([completion = std::move(completion), error] { completion(error); });
    });
}

void LoopConnection::receiveMessage(ReceiveCompletion completion) {
    if (loop_ == nullptr) {
        completion(std::nullopt, false, std::make_error_code(std::errc::not_connected));
        return;
    }
    onLoop([self = shared_from_this(), completion = std::move(completion)]() mutable {
        auto error = self->unusable();
        if (!error && self->pendingReceive_) {
            error = std::make_error_code(std::errc::device_or_resource_busy);
        }
        if (error) {
            self->loop_->post([completion = std::move(completion), error] {
                completion(std::nullopt, false, error);
            });
            return;
        }
        self->pendingReceive_ = std::move(completion);
        if (!(self->watched_ ? self->loop_->rearmInput(self->fd_, self.get())
                             : self->loop_->watchInput(self->fd_, self.get()))) {
            const auto error = systemError(errno);
            auto pending = std::move(self->pendingReceive_);
            self->pendingReceive_ = nullptr;
            self->loop_->post(
                [pending = std::move(pending), error] { pending(std::nullopt, false, error); });
            return;
        }
        self->watched_ = true;
    });
}

void LoopConnection::onReady(std::uint32_t /*events*/) {
    if (cancelled_ || fd_ < 0 || !pendingReceive_) {
        return;  // closed in this round, or nothing asked for yet
    }
    readReply();
}

void LoopConnection::readReply() {
    thread_local std::array<std::uint8_t, kReplyBufferSize> buffer;
    const ssize_t size = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) &&
        loop_->rearmInput(fd_, this)) {
        return;  // nothing after all: wait for the next datagram
    }
    auto completion = std::move(pendingReceive_);
    pendingReceive_ = nullptr;
    if (size < 0) {
        completion(std::nullopt, false, systemError(errno));
        return;
    }
    completion(dns::Datagram(buffer.begin(), buffer.begin() + size), true, std::nullopt);
}

void LoopConnection::cancel() {
    if (loop_ == nullptr) {
        // Never started: nothing pending and nothing to report; just let the handler go.
        cancelled_ = true;
        stateHandler_ = nullptr;
        return;
    }
    onLoop([self = shared_from_this()] {
        if (self->cancelled_) {
            return;
        }
        self->cancelled_ = true;
        if (self->fd_ >= 0) {
            ::close(self->fd_);  // leaves the epoll set with it
            self->fd_ = -1;
        }
        if (self->held_) {
            self->loop_->forget(self.get());
        }
        auto pending = std::move(self->pendingReceive_);
        self->pendingReceive_ = nullptr;
        self->loop_->post([self, pending = std::move(pending)] {
            if (pending) {
                pending(std::nullopt, false, cancelledError());
            }
            self->report(ConnectionState::cancelled());
            self->stateHandler_ = nullptr;
        });
    });
}

void LoopConnection::abandon() {
    cancelled_ = true;
    pendingReceive_ = nullptr;
    stateHandler_ = nullptr;
}

void LoopConnection::report(ConnectionState state) {
    if (const auto handler = stateHandler_) {
        (*handler)(state);
    }
}

std::shared_ptr<Connection> LoopConnectionFactory::makeConnection(std::string_view host,
                                                                  std::uint16_t port) {
    const std::lock_guard lock(mutex_);
    if (host != host_ || port != port_ || length_ == 0) {
        host_ = std::string(host);
        port_ = port;
        address_.reset();
        length_ = 0;
        sockaddr_storage address{};
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        if (::inet_pton(AF_INET, host_.c_str(), &v4.sin_addr) == 1) {
            v4.sin_family = AF_INET;
            v4.sin_port = htons(port);
            address_ = address;
            length_ = sizeof v4;
        } else if (::inet_pton(AF_INET6, host_.c_str(), &v6.sin6_addr) == 1) {
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(port);
            address_ = address;
            length_ = sizeof v6;
        }
    }
    return std::make_shared<LoopConnection>(address_, length_);
}

}  // namespace sieveharbor::platform::linux_host
