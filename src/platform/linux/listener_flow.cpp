#include "platform/linux/listener_flow.h"

#include <netinet/in.h>

#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/ip/address.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

struct ListenerFlow::Slot {
    iovec iov{};
    sockaddr_storage sender{};
};

// Writes held while a read completion runs; kept between batches so that their capacity is reused.
struct ListenerFlow::HeldWrites {
    struct Call {
        std::size_t end;  // one past its last datagram
        std::optional<flow::FlowError> failure;
        WriteCompletion completion;
    };
    std::vector<dns::Datagram> datagrams;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
    std::vector<int> errors;  // errno per datagram, 0 once sent
    std::vector<Call> calls;
    std::vector<mmsghdr> messages;
    std::vector<iovec> iov;
};

namespace {

// The listener whose read completion this thread is running, if any.
thread_local const ListenerFlow* collectingFlow = nullptr;

// Sends messages[0, count) with as few sendmmsg calls as the kernel allows. errors[i] gets the
// errno of a message that could not be sent; the ones after it are still tried.
void sendBatch(int fd, mmsghdr* messages, std::size_t count, int* errors) {
    std::size_t next = 0;
    while (next < count) {
        const int sent = ::sendmmsg(fd, messages + next, static_cast<unsigned>(count - next),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            next += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else {
            errors[next] = sent < 0 ? errno : EIO;
            ++next;
        }
    }
}

// Headroom for bursts; the kernel caps it at net.core.rmem_max, and a smaller buffer only means
// earlier drops, so a refusal is not an error.
constexpr int kSocketReceiveBuffer = 4 * 1024 * 1024;

bool isTransient(int number) {
    return number == EINTR || number == EAGAIN || number == EWOULDBLOCK || number == ECONNREFUSED ||
           number == ENOBUFS || number == ENOMEM;
}

// The endpoint's bytes as a socket address, or 0 when they are not one this listener could send to.
socklen_t toSocketAddress(const flow::Endpoint& endpoint, sockaddr_storage& address) {
    const auto bytes = endpoint.bytes();
    if (bytes.size() < sizeof(sa_family_t)) {
        return 0;
    }
    std::memcpy(&address, bytes.data(), bytes.size());
    const bool v4 = address.ss_family == AF_INET && bytes.size() == sizeof(sockaddr_in);
    const bool v6 = address.ss_family == AF_INET6 && bytes.size() == sizeof(sockaddr_in6);
    return v4 || v6 ? static_cast<socklen_t>(bytes.size()) : 0;
}

}  // namespace

ListenerBindResult ListenerFlow::bind(AsioQueue& queue, std::string_view address,
                                      std::uint16_t port) {
    std::error_code error;
    const auto ip = asio::ip::make_address(std::string(address), error);
    if (error) {
        return {nullptr, std::make_error_code(std::errc::invalid_argument)};
    }
    const asio::ip::udp::endpoint local(ip, port);
    asio::ip::udp::socket socket(queue.context());
    socket.open(local.protocol(), error);
    if (!error && ip.is_v6()) {
        // An IPv6 listener answers IPv6 only, so "::" and "0.0.0.0" can be bound side by side.
        socket.set_option(asio::ip::v6_only(true), error);
    }
    if (!error) {
        socket.non_blocking(true, error);
    }
    if (!error) {
        socket.bind(local, error);
    }
    if (error) {
        return {nullptr, systemError(error)};
    }
    std::error_code ignored;
    socket.set_option(asio::socket_base::receive_buffer_size(kSocketReceiveBuffer), ignored);
    return {std::make_shared<ListenerFlow>(queue.context(), std::move(socket)), {}};
}

ListenerFlow::ListenerFlow(asio::io_context& io, asio::ip::udp::socket socket)
    : strand_(asio::make_strand(io.get_executor())),
      socket_(std::move(socket)),
      fd_(socket_.native_handle()),
      // Left uninitialised: pages are only touched as datagrams fill them.
      buffers_(new std::uint8_t[kMaxBatch * kReceiveBufferSize]),
      slots_(kMaxBatch) {
    for (std::size_t i = 0; i < kMaxBatch; ++i) {
        slots_[i].iov.iov_base = buffers_.get() + i * kReceiveBufferSize;
        slots_[i].iov.iov_len = kReceiveBufferSize;
    }
}

ListenerFlow::~ListenerFlow() {
    std::error_code ignored;
    socket_.close(ignored);
}

asio::ip::udp::endpoint ListenerFlow::localEndpoint() const {
    std::error_code ignored;
    return socket_.local_endpoint(ignored);
}

void ListenerFlow::openWithLocalEndpoint(OpenCompletion completion) {
    // Bound at construction: opening only confirms it, on the flow's strand like every completion.
    asio::post(strand_, [completion = std::move(completion)] { completion(std::nullopt); });
}

void ListenerFlow::readDatagramsWithCompletionHandler(ReadCompletion completion) {
    if (collectingFlow == this) {
        // Issued from inside this flow's read completion, on the strand: the batch loop in
        // receiveBatch takes it up when the completion returns, with no trip through the queue.
        if (readClosed_) {
            completion(std::nullopt, std::nullopt, std::make_error_code(std::errc::not_connected));
        } else if (pendingRead_) {
            completion(std::nullopt, std::nullopt,
                       std::make_error_code(std::errc::operation_in_progress));
        } else {
            pendingRead_ = std::move(completion);
        }
        return;
    }
    asio::post(strand_, [self = shared_from_this(), completion = std::move(completion)]() mutable {
        if (self->readClosed_) {
            completion(std::nullopt, std::nullopt, std::make_error_code(std::errc::not_connected));
            return;
        }
        if (self->pendingRead_) {
            completion(std::nullopt, std::nullopt,
                       std::make_error_code(std::errc::operation_in_progress));
            return;
        }
        self->pendingRead_ = std::move(completion);
        self->receiveBatch();
    });
}

void ListenerFlow::awaitReadable() {
    socket_.async_wait(
        asio::ip::udp::socket::wait_read,
        asio::bind_executor(strand_, [self = shared_from_this()](const std::error_code& error) {
            if (!self->pendingRead_) {
                return;
            }
            if (error) {
                self->finishRead(std::nullopt, std::nullopt, systemError(error));
            }
            self->receiveBatch();
        }));
}

void ListenerFlow::receiveBatch() {
    // Serves the pending read, and the reads its completions issue, until the socket runs dry;
    // after a few rounds the rest goes back to the queue so that other work on it gets a turn.
    constexpr int kInlineRounds = 16;
    for (int round = 0; pendingRead_; ++round) {
        if (readClosed_) {
            finishRead(std::nullopt, std::nullopt,
                       std::make_error_code(std::errc::operation_canceled));
            continue;
        }
        if (round == kInlineRounds) {
            asio::post(strand_, [self = shared_from_this()] { self->receiveBatch(); });
            return;
        }
        std::array<mmsghdr, kMaxBatch> messages{};
        for (std::size_t i = 0; i < kMaxBatch; ++i) {
            slots_[i].iov.iov_len = kReceiveBufferSize;
            messages[i].msg_hdr.msg_iov = &slots_[i].iov;
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &slots_[i].sender;
            messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        }
        int count = -1;
        do {
            count = ::recvmmsg(fd_, messages.data(), kMaxBatch, MSG_DONTWAIT, nullptr);
        } while (count < 0 && errno == EINTR);
        if (count < 0) {
            const int number = errno;
            if (isTransient(number)) {
                awaitReadable();
                return;
            }
            finishRead(std::nullopt, std::nullopt, systemError(number));
            continue;
        }
        std::vector<dns::Datagram> datagrams;
        std::vector<flow::Endpoint> endpoints;
        datagrams.reserve(static_cast<std::size_t>(count));
        endpoints.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            const auto& header = messages[i].msg_hdr;
            if ((header.msg_flags & MSG_TRUNC) != 0) {
                continue;
            }
            const auto* data = static_cast<const std::uint8_t*>(slots_[i].iov.iov_base);
            datagrams.emplace_back(data, data + messages[i].msg_len);
            endpoints.emplace_back(std::span<const std::uint8_t>(
                reinterpret_cast<const std::uint8_t*>(&slots_[i].sender), header.msg_namelen));
        }
        if (datagrams.empty()) {
            awaitReadable();
            return;
        }
        finishRead(std::move(datagrams), std::move(endpoints), std::nullopt);
    }
}

void ListenerFlow::finishRead(std::optional<std::vector<dns::Datagram>> datagrams,
                              std::optional<std::vector<flow::Endpoint>> endpoints,
                              std::optional<flow::FlowError> error) {
    // Cleared first, so the completion may issue the next read.
    auto completion = std::move(pendingRead_);
    pendingRead_ = nullptr;
    const ListenerFlow* const outer = collectingFlow;
    collectingFlow = this;
    completion(std::move(datagrams), std::move(endpoints), error);
    collectingFlow = outer;
    flushHeldWrites();
}

void ListenerFlow::hold(HeldWrites& held, std::vector<dns::Datagram>& datagrams,
                        std::vector<flow::Endpoint>& endpoints, WriteCompletion& completion) {
    std::optional<flow::FlowError> failure;
    if (datagrams.size() != endpoints.size()) {
        failure = std::make_error_code(std::errc::invalid_argument);
    }
    const std::size_t count = std::min(datagrams.size(), endpoints.size());
    for (std::size_t i = 0; i < count; ++i) {
        sockaddr_storage address{};
        const socklen_t length = toSocketAddress(endpoints[i], address);
        if (length == 0) {
            failure = failure ? failure : std::make_error_code(std::errc::invalid_argument);
            continue;
        }
        held.datagrams.push_back(std::move(datagrams[i]));
        held.addresses.push_back(address);
        held.lengths.push_back(length);
    }
    held.calls.push_back({held.datagrams.size(), failure, std::move(completion)});
}

void ListenerFlow::flushHeldWrites() {
    if (held_) {
        flush(*held_);
    }
}

void ListenerFlow::flush(HeldWrites& held) {
    if (held.calls.empty()) {
        return;
    }
    const std::size_t count = held.datagrams.size();
    held.errors.assign(count, 0);
    if (writeClosed_.load(std::memory_order_acquire)) {
        held.errors.assign(count, ENOTCONN);
    } else if (count > 0) {
        held.messages.assign(count, mmsghdr{});
        held.iov.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            held.iov[i] = {held.datagrams[i].data(), held.datagrams[i].size()};
            auto& header = held.messages[i].msg_hdr;
            header.msg_iov = &held.iov[i];
            header.msg_iovlen = 1;
            header.msg_name = &held.addresses[i];
            header.msg_namelen = held.lengths[i];
        }
        sendBatch(fd_, held.messages.data(), count, held.errors.data());
    }
    // Taken out first: a completion may write again, and that write goes out at once.
    auto calls = std::move(held.calls);
    held.calls.clear();
    std::size_t begin = 0;
    for (auto& call : calls) {
        auto failure = call.failure;
        for (std::size_t i = begin; i < call.end && !failure; ++i) {
            if (held.errors[i] != 0) {
                failure = systemError(held.errors[i]);
            }
        }
        begin = call.end;
        if (call.completion) {
            call.completion(failure);
        }
    }
    held.datagrams.clear();
    held.addresses.clear();
    held.lengths.clear();
}

void ListenerFlow::writeDatagrams(std::vector<dns::Datagram> datagrams,
                                  std::vector<flow::Endpoint> endpoints,
                                  WriteCompletion completion) {
    if (collectingFlow == this) {
        if (!held_) {
            held_ = std::make_unique<HeldWrites>();
        }
        hold(*held_, datagrams, endpoints, completion);
        return;
    }
    HeldWrites now;
    hold(now, datagrams, endpoints, completion);
    flush(now);
}

void ListenerFlow::closeReadWithError(std::optional<flow::FlowError>) {
    asio::dispatch(strand_, [self = shared_from_this()] {
        self->readClosed_ = true;
        std::error_code ignored;
        // Wakes a pending read, which then completes with operation_aborted.
        self->socket_.cancel(ignored);
    });
}

void ListenerFlow::closeWriteWithError(std::optional<flow::FlowError>) {
    writeClosed_.store(true, std::memory_order_release);
}

}  // namespace sieveharbor::platform::linux_host
