#include "platform/linux/asio_connection.h"

#include <array>
#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/error.hpp>
#include <asio/ip/address.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <string>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

// The largest UDP payload fits; a reply is never cut short.
constexpr std::size_t kReplyBufferSize = 65536;

std::error_code cancelledError() {
    return asio::error::operation_aborted;
}

}  // namespace

AsioConnection::AsioConnection(asio::io_context& io, std::optional<asio::ip::udp::endpoint> remote)
    : remote_(std::move(remote)), socket_(io) {}

void AsioConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    stateHandler_ = std::move(handler);
}

void AsioConnection::start(std::shared_ptr<Queue> queue) {
    if (started_ || !queue) {
        return;
    }
    started_ = true;
    queue_ = queue;
    if (auto* source = dynamic_cast<AsioExecutorSource*>(queue.get())) {
        executor_ = source->serial() ? source->executor()
                                     : asio::any_io_executor(asio::make_strand(source->executor()));
        asio::post(executor_, [self = shared_from_this()] { self->open(); });
        return;
    }
    // A queue we cannot run socket work on: say so through the queue, as a failed connection.
    queue->post([self = shared_from_this()] {
        self->report(ConnectionState::failed(std::make_error_code(std::errc::not_supported)));
    });
}

void AsioConnection::open() {
    if (cancelled_) {
        return;
    }
    report(ConnectionState::preparing());
    if (!remote_) {
        report(ConnectionState::failed(std::make_error_code(std::errc::invalid_argument)));
        return;
    }
    std::error_code error;
    socket_.open(remote_->protocol(), error);
    if (!error) {
        socket_.non_blocking(true, error);
    }
    if (!error) {
        // UDP connect sends nothing: it fixes the peer, so the kernel drops strangers' datagrams
        // and reports an ICMP refusal as an error on receive.
        socket_.connect(*remote_, error);
    }
    if (error) {
        socket_.close(error);
        report(ConnectionState::failed(systemError(error)));
        return;
    }
    report(ConnectionState::ready());
}

void AsioConnection::send(dns::Datagram content, SendCompletion completion) {
    if (!executor_) {
        completion(std::make_error_code(std::errc::not_connected));
        return;
    }
    asio::dispatch(executor_, [self = shared_from_this(), content = std::move(content),
                               completion = std::move(completion)]() mutable {
        if (self->cancelled_ || !self->socket_.is_open()) {
            completion(self->cancelled_ ? cancelledError()
                                        : std::make_error_code(std::errc::not_connected));
            return;
        }
        auto buffer = std::make_shared<dns::Datagram>(std::move(content));
        self->socket_.async_send(
            asio::buffer(*buffer),
            asio::bind_executor(self->executor_, [self, buffer, completion = std::move(completion)](
                                                     const std::error_code& error, std::size_t) {
                completion(error ? std::optional<ConnectionError>(systemError(error))
                                 : std::nullopt);
            }));
    });
}

void AsioConnection::receiveMessage(ReceiveCompletion completion) {
    if (!executor_) {
        completion(std::nullopt, false, std::make_error_code(std::errc::not_connected));
        return;
    }
    asio::dispatch(executor_,
                   [self = shared_from_this(), completion = std::move(completion)]() mutable {
                       self->awaitReply(std::move(completion));
                   });
}

void AsioConnection::awaitReply(ReceiveCompletion completion) {
    if (cancelled_ || !socket_.is_open()) {
        completion(std::nullopt, false,
                   cancelled_ ? cancelledError() : std::make_error_code(std::errc::not_connected));
        return;
    }
    socket_.async_wait(
        asio::ip::udp::socket::wait_read,
        asio::bind_executor(executor_, [self = shared_from_this(),
                                        completion = std::move(completion)](
                                           const std::error_code& waitError) mutable {
            if (waitError) {
                completion(std::nullopt, false, systemError(waitError));
                return;
            }
            thread_local std::array<std::uint8_t, kReplyBufferSize> buffer;
            std::error_code error;
            const std::size_t size = self->socket_.receive(asio::buffer(buffer), 0, error);
            if (error == asio::error::would_block || error == asio::error::interrupted) {
                self->awaitReply(std::move(completion));
                return;
            }
            if (error) {
                completion(std::nullopt, false, systemError(error));
                return;
            }
            completion(dns::Datagram(buffer.begin(), buffer.begin() + size), true, std::nullopt);
        }));
}

void AsioConnection::cancel() {
    if (!executor_) {
        // Never started: nothing pending and nothing to report; just let the handler go.
        cancelled_ = true;
        stateHandler_ = nullptr;
        return;
    }
    asio::dispatch(executor_, [self = shared_from_this()] {
        if (self->cancelled_) {
            return;
        }
        self->cancelled_ = true;
        std::error_code ignored;
        // Closing aborts the pending send or receive; their completions then run with an error.
        self->socket_.close(ignored);
        asio::post(self->executor_, [self] {
            self->report(ConnectionState::cancelled());
            self->stateHandler_ = nullptr;
        });
    });
}

void AsioConnection::report(ConnectionState state) {
    if (stateHandler_) {
        // A copy: the handler may cancel, which clears stateHandler_ while it runs.
        auto handler = stateHandler_;
        handler(std::move(state));
    }
}

std::shared_ptr<Connection> AsioConnectionFactory::makeConnection(std::string_view host,
                                                                  std::uint16_t port) {
    std::error_code error;
    const auto address = asio::ip::make_address(std::string(host), error);
    std::optional<asio::ip::udp::endpoint> remote;
    if (!error) {
        remote.emplace(address, port);
    }
    return std::make_shared<AsioConnection>(queue_.context(), std::move(remote));
}

}  // namespace sieveharbor::platform::linux_host
