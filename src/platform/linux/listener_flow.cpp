#include "platform/linux/listener_flow.h"

#include <netinet/in.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

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
socklen_t toSocketAddress(const Endpoint& endpoint, sockaddr_storage& address) {
    const auto bytes = endpoint.bytes();
    if (bytes.size() < sizeof(sa_family_t)) {
        return 0;
    }
    std::memcpy(&address, bytes.data(), bytes.size());
    const bool v4 = address.ss_family == AF_INET && bytes.size() == sizeof(sockaddr_in);
    const bool v6 = address.ss_family == AF_INET6 && bytes.size() == sizeof(sockaddr_in6);
    return v4 || v6 ? static_cast<socklen_t>(bytes.size()) : 0;
}

// Writes held while a read completion runs; kept between batches so that their capacity is reused.
struct HeldWrites {
    struct Call {
        std::size_t end;  // one past its last datagram
        std::optional<FlowError> failure;
        UdpFlow::WriteCompletion completion;
    };
    std::vector<dns::Datagram> datagrams;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
    std::vector<int> errors;  // errno per datagram, 0 once sent
    std::vector<Call> calls;
    std::vector<Call> spareCalls;  // what flush() last ran, kept for its capacity
    std::vector<mmsghdr> messages;
    std::vector<iovec> iov;
};

void hold(HeldWrites& held, DatagramBatch& datagrams, UdpFlow::WriteCompletion& completion) {
    std::optional<FlowError> failure;
    for (auto& [datagram, endpoint] : datagrams) {
        sockaddr_storage address{};
        const socklen_t length = toSocketAddress(endpoint, address);
        if (length == 0) {
            failure = std::make_error_code(std::errc::invalid_argument);
            continue;
        }
        held.datagrams.push_back(std::move(datagram));
        held.addresses.push_back(address);
        held.lengths.push_back(length);
    }
    held.calls.push_back({held.datagrams.size(), failure, std::move(completion)});
}

// Sends everything held (unless the write side is closed) and calls the completions.
void flush(int fd, bool writeClosed, HeldWrites& held) {
    if (held.calls.empty()) {
        return;
    }
    const std::size_t count = held.datagrams.size();
    held.errors.assign(count, writeClosed ? ENOTCONN : 0);
    if (!writeClosed && count > 0) {
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
        sendBatch(fd, held.messages.data(), count, held.errors.data());
    }
    // Taken out first: a completion may write again, and that write goes out at once.
    std::vector<HeldWrites::Call> calls;
    calls.swap(held.spareCalls);
    calls.swap(held.calls);
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
    calls.clear();
    if (held.spareCalls.capacity() < calls.capacity()) {
        held.spareCalls.swap(calls);
    }
    held.datagrams.clear();
    held.addresses.clear();
    held.lengths.clear();
}

}  // namespace

// Everything the loop touches. The flow and the loop share it, so that a flow released from
// inside its own read completion never pulls the state from under the loop.
struct ListenerFlow::Receiver final : Watcher, std::enable_shared_from_this<Receiver> {
    struct Slot {
        iovec iov{};
        sockaddr_storage sender{};
    };

    Receiver(EventLoop& owner, int socket)
        : loop(owner),
          fd(socket),
          // Left uninitialised: pages are only touched as datagrams fill them.
          buffers(new std::uint8_t[kMaxBatch * kReceiveBufferSize]) {
        // Set up once: recvmmsg writes back only the sender length, flags and byte count of the
        // messages it fills, so each read resets just those senders' lengths.
        for (std::size_t i = 0; i < kMaxBatch; ++i) {
            slots[i].iov = {buffers.get() + i * kReceiveBufferSize, kReceiveBufferSize};
            auto& header = messages[i].msg_hdr;
            header.msg_iov = &slots[i].iov;
            header.msg_iovlen = 1;
            header.msg_name = &slots[i].sender;
            header.msg_namelen = sizeof(sockaddr_storage);
        }
    }
    ~Receiver() override { ::close(fd); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // What a read completes with: a batch, or the error that failed it.
    struct Batch {
        std::optional<DatagramBatch> batch;
        std::optional<FlowError> error;
    };

    // Loop thread: the socket has input.
    void onReady(std::uint32_t events) override;
    void abandon() override;
    // Loop thread: watch the socket while a read is pending, and only then, so that input no
    // one asked for does not spin the loop.
    void watch(bool wanted);
    // Loop thread: answers a pending read of a closed flow.
    void refusePending();
    // Takes what is queued, without waiting; nullopt when there is nothing to deliver yet.
    std::optional<Batch> receive();
    void complete(ReadCompletion completion, Batch batch);

    EventLoop& loop;
    const int fd;
    std::unique_ptr<std::uint8_t[]> buffers;
    std::array<Slot, kMaxBatch> slots{};
    std::array<mmsghdr, kMaxBatch> messages{};
    std::size_t filled = 0;  // messages the last recvmmsg wrote to
    bool watching = false;   // loop thread only

    std::mutex mutex;
    // Guarded by mutex.
    ReadCompletion pending;
    bool readClosed = false;
    bool stopping = false;

    // Touched only on the loop: the writes of a read completion, and those made on the loop
    // elsewhere in a round, until the round ends.
    HeldWrites held;
    std::atomic<bool> writeClosed{false};
};

namespace {

// The receiver whose read completion this thread is running, if any.
thread_local const ListenerFlow::Receiver* collecting = nullptr;

}  // namespace

void ListenerFlow::Receiver::watch(bool wanted) {
    if (wanted == watching) {
        return;
    }
    watching = wanted;
    if (wanted) {
        loop.watchAllInput(fd, this);
    } else {
        loop.unwatch(fd);
    }
}

void ListenerFlow::Receiver::refusePending() {
    ReadCompletion completion;
    {
        const std::lock_guard lock(mutex);
        if (stopping || !readClosed || !pending) {
            return;
        }
        completion = std::move(pending);
        pending = nullptr;
    }
    watch(false);
    complete(std::move(completion),
             {std::nullopt, std::make_error_code(std::errc::operation_canceled)});
}

void ListenerFlow::Receiver::onReady(std::uint32_t /*events*/) {
    {
        const std::lock_guard lock(mutex);
        if (stopping || readClosed || !pending) {
            // Nothing asked for: stop watching until a read is issued.
            watch(false);
            return;
        }
    }
    auto batch = receive();
    if (!batch) {
        return;  // still watched: the next input calls again
    }
    ReadCompletion completion;
    {
        const std::lock_guard lock(mutex);
        if (stopping || readClosed || !pending) {
            return;
        }
        completion = std::move(pending);
        pending = nullptr;
    }
    complete(std::move(completion), std::move(*batch));
    const std::lock_guard lock(mutex);
    watch(pending && !stopping && !readClosed);
}

void ListenerFlow::Receiver::abandon() {
    ReadCompletion dropped;
    const std::lock_guard lock(mutex);
    stopping = true;
    dropped = std::move(pending);
    pending = nullptr;
}

std::optional<ListenerFlow::Receiver::Batch> ListenerFlow::Receiver::receive() {
    for (std::size_t i = 0; i < filled; ++i) {
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    }
    filled = 0;
    const int count = ::recvmmsg(fd, messages.data(), kMaxBatch, MSG_DONTWAIT, nullptr);
    if (count < 0) {
        const int number = errno;
        if (isTransient(number)) {
            return std::nullopt;
        }
        return Batch{std::nullopt, systemError(number)};
    }
    filled = static_cast<std::size_t>(count);
    DatagramBatch batch;
    batch.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto& header = messages[i].msg_hdr;
        if ((header.msg_flags & MSG_TRUNC) != 0) {
            continue;
        }
        const auto* data = static_cast<const std::uint8_t*>(slots[i].iov.iov_base);
        batch.push_back(
            {dns::Datagram(data, data + messages[i].msg_len),
             Endpoint(std::span<const std::uint8_t>(
                 reinterpret_cast<const std::uint8_t*>(&slots[i].sender), header.msg_namelen))});
    }
    if (batch.empty()) {
        return std::nullopt;
    }
    return Batch{std::move(batch), std::nullopt};
}

void ListenerFlow::Receiver::complete(ReadCompletion completion, Batch batch) {
    const Receiver* const outer = collecting;
    collecting = this;
    completion(std::move(batch.batch), batch.error);
    // Released before the held writes go: it may hold the last reference to the flow.
    completion = nullptr;
    collecting = outer;
    flush(fd, writeClosed.load(std::memory_order_acquire), held);
}

ListenerBindResult ListenerFlow::bind(EventLoop& loop, const platform::SocketAddress& address,
                                      bool reusePort) {
    const auto local = SocketAddress::from(address);
    const auto bound =
        bindSocket(local, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, {.reusePort = reusePort});
    if (bound.fd < 0) {
        return {nullptr, bound.error};
    }
    ::setsockopt(bound.fd, SOL_SOCKET, SO_RCVBUF, &kSocketReceiveBuffer,
                 sizeof kSocketReceiveBuffer);
    return start(loop, std::make_shared<Receiver>(loop, bound.fd),
                 SocketAddress::boundTo(bound.fd).value_or(local));
}

std::error_code ListenerFlow::probe(const platform::SocketAddress& address) {
    const auto bound =
        bindSocket(SocketAddress::from(address), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, {});
    if (bound.fd >= 0) {
        ::close(bound.fd);
    }
    return bound.error;
}

ListenerBindResult ListenerFlow::bind(LoopPool& pool, const platform::SocketAddress& address) {
    return bind(pool.nextLoop(), address);
}

ListenerBindResult ListenerFlow::adopt(EventLoop& loop, int fd) {
    const auto refuse = [fd](std::error_code error) {
        ::close(fd);
        return ListenerBindResult{nullptr, error};
    };
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0) {
        return refuse(systemError(errno));
    }
    if (type != SOCK_DGRAM) {
        return refuse(std::make_error_code(std::errc::wrong_protocol_type));
    }
    const auto local = SocketAddress::boundTo(fd);
    if (!local) {
        return refuse(std::make_error_code(std::errc::address_family_not_supported));
    }
    // The socket's options (buffer size, blocking mode) are the unit's to set, and stay as given:
    // every read is made with MSG_DONTWAIT, so either mode works.
    return start(loop, std::make_shared<Receiver>(loop, fd), *local);
}

ListenerBindResult ListenerFlow::start(EventLoop& loop, std::shared_ptr<Receiver> receiver,
                                       const SocketAddress& local) {
    // Held by the loop until stop(), or abandoned when the loop ends first.
    loop.post([receiver] { receiver->loop.hold(receiver); });
    return {std::make_shared<ListenerFlow>(PrivateTag{}, std::move(receiver), local), {}};
}

ListenerFlow::ListenerFlow(PrivateTag /*tag*/, std::shared_ptr<Receiver> receiver,
                           SocketAddress local)
    : receiver_(std::move(receiver)), local_(local) {}

ListenerFlow::~ListenerFlow() {
    stop();
}

void ListenerFlow::stop() {
    ReadCompletion dropped;
    {
        const std::lock_guard lock(receiver_->mutex);
        if (receiver_->stopping) {
            return;
        }
        receiver_->stopping = true;
        dropped = std::move(receiver_->pending);
        receiver_->pending = nullptr;
    }
    // Waited for, so that no completion of this flow starts after stop() returns.
    receiver_->loop.runAndWait([receiver = receiver_] {
        if (!receiver->loop.ended()) {
            receiver->watch(false);
            receiver->loop.forget(receiver.get());
        }
    });
}

void ListenerFlow::openWithLocalEndpoint(OpenCompletion completion) {
    // Bound at construction: opening only confirms it, on the loop like every completion.
    receiver_->loop.post([completion = std::move(completion)] { completion(std::nullopt); });
}

void ListenerFlow::readDatagramsWithCompletionHandler(ReadCompletion completion) {
    auto refusal = std::errc::not_connected;
    {
        const std::lock_guard lock(receiver_->mutex);
        const bool open = !receiver_->readClosed && !receiver_->stopping;
        if (open && !receiver_->pending) {
            receiver_->pending = std::move(completion);
            // From inside a read completion the loop takes the read up on return.
            if (collecting != receiver_.get()) {
                receiver_->loop.post([receiver = receiver_] {
                    const std::lock_guard lock(receiver->mutex);
                    receiver->watch(receiver->pending && !receiver->stopping &&
                                    !receiver->readClosed);
                });
            }
            return;
        }
        if (open) {
            refusal = std::errc::operation_in_progress;
        }
    }
    receiver_->loop.post([completion = std::move(completion), refusal] {
        completion(std::nullopt, std::make_error_code(refusal));
    });
}

void ListenerFlow::writeDatagrams(DatagramBatch datagrams, WriteCompletion completion) {
    Receiver& receiver = *receiver_;
    if (collecting == &receiver) {
        hold(receiver.held, datagrams, completion);
        return;
    }
    if (receiver.loop.onLoopThread()) {
        // Relayed replies that arrive in one round of the loop leave in one sendmmsg before it
        // waits again: fewer system calls, and the client is woken once for the lot.
        const bool first = receiver.held.calls.empty();
        hold(receiver.held, datagrams, completion);
        if (first) {
            receiver.loop.beforeWait([held = receiver_] {
                flush(held->fd, held->writeClosed.load(std::memory_order_acquire), held->held);
            });
        }
        return;
    }
    HeldWrites now;
    hold(now, datagrams, completion);
    flush(receiver_->fd, receiver_->writeClosed.load(std::memory_order_acquire), now);
}

void ListenerFlow::closeReadWithError(std::optional<FlowError>) {
    {
        const std::lock_guard lock(receiver_->mutex);
        receiver_->readClosed = true;
    }
    // The pending read, if any, completes with operation_canceled on the loop.
    receiver_->loop.post([receiver = receiver_] { receiver->refusePending(); });
}

void ListenerFlow::closeWriteWithError(std::optional<FlowError>) {
    receiver_->writeClosed.store(true, std::memory_order_release);
}

}  // namespace sieveharbor::platform::linux_host
