#include "platform/linux/listener_flow.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <asio/ip/address.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

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

// Writes held while a read completion runs; kept between batches so that their capacity is reused.
struct HeldWrites {
    struct Call {
        std::size_t end;  // one past its last datagram
        std::optional<flow::FlowError> failure;
        flow::UdpFlow::WriteCompletion completion;
    };
    std::vector<dns::Datagram> datagrams;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
    std::vector<int> errors;  // errno per datagram, 0 once sent
    std::vector<Call> calls;
    std::vector<mmsghdr> messages;
    std::vector<iovec> iov;
};

// Adds one write to `held`.
void hold(HeldWrites& held, std::vector<dns::Datagram>& datagrams,
          std::vector<flow::Endpoint>& endpoints, flow::UdpFlow::WriteCompletion& completion) {
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

}  // namespace

// Everything the receive thread touches. The flow and the thread share it, so that a flow
// released from inside its own read completion never pulls the state from under the thread.
struct ListenerFlow::Receiver {
    struct Slot {
        iovec iov{};
        sockaddr_storage sender{};
    };

    // waker: -1 for a socket of our own, whose waits a shutdown ends; an eventfd for an adopted
    // one, which must not be shut down (see adopt).
    Receiver(int socket, int waker)
        : fd(socket),
          wakeFd(waker),
          // Left uninitialised: pages are only touched as datagrams fill them.
          buffers(new std::uint8_t[kMaxBatch * kReceiveBufferSize]) {
        // Set up once: recvmmsg writes back only the sender length, flags and byte count of the
        // messages it fills, so each wait resets just those senders' lengths.
        for (std::size_t i = 0; i < kMaxBatch; ++i) {
            slots[i].iov = {buffers.get() + i * kReceiveBufferSize, kReceiveBufferSize};
            auto& header = messages[i].msg_hdr;
            header.msg_iov = &slots[i].iov;
            header.msg_iovlen = 1;
            header.msg_name = &slots[i].sender;
            header.msg_namelen = sizeof(sockaddr_storage);
        }
    }
    ~Receiver() {
        ::close(fd);
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    void run();
    // Waits for a datagram and returns the batch, or an error; nullopt when there is nothing to
    // deliver yet (a transient error, or only oversized datagrams).
    struct Batch {
        std::optional<std::vector<dns::Datagram>> datagrams;
        std::optional<std::vector<flow::Endpoint>> endpoints;
        std::optional<flow::FlowError> error;
    };
    std::optional<Batch> receive();
    void complete(ReadCompletion completion, Batch batch);
    // Wakes the thread for good and drops the pending read, if any, outside the lock.
    void stop();
    // Ends a wait in receive(), now and every later one.
    void interrupt() const;

    const int fd;
    const int wakeFd;
    std::unique_ptr<std::uint8_t[]> buffers;
    std::array<Slot, kMaxBatch> slots{};
    std::array<mmsghdr, kMaxBatch> messages{};
    std::size_t filled = 0;  // messages the last recvmmsg wrote to

    std::mutex mutex;
    std::condition_variable wake;
    // Guarded by mutex.
    ReadCompletion pending;
    bool readClosed = false;
    bool stopping = false;

    // Touched only by the receive thread, while a read completion runs.
    HeldWrites held;
    std::atomic<bool> writeClosed{false};
    std::thread thread;
};

namespace {

// The receiver whose read completion this thread is running, if any.
thread_local const ListenerFlow::Receiver* collecting = nullptr;

}  // namespace

void ListenerFlow::Receiver::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return stopping || pending; });
            if (stopping) {
                return;
            }
            if (readClosed) {
                auto completion = std::move(pending);
                pending = nullptr;
                lock.unlock();
                complete(std::move(completion),
                         {std::nullopt, std::nullopt,
                          std::make_error_code(std::errc::operation_canceled)});
                continue;
            }
        }
        auto batch = receive();
        ReadCompletion completion;
        {
            const std::lock_guard lock(mutex);
            if (readClosed || stopping) {
                // Closed while waiting: what a shut socket returned is no datagram (recvmmsg
                // counts the end of input as one empty message). The loop top answers the read.
                continue;
            }
            if (!batch) {
                continue;
            }
            completion = std::move(pending);
            pending = nullptr;
        }
        complete(std::move(completion), std::move(*batch));
    }
}

std::optional<ListenerFlow::Receiver::Batch> ListenerFlow::Receiver::receive() {
    for (std::size_t i = 0; i < filled; ++i) {
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    }
    filled = 0;
    int flags = MSG_WAITFORONE;
    if (wakeFd >= 0) {
        // An adopted socket: waits here instead, until a datagram comes or interrupt() is called.
        pollfd waits[] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(waits, 2, -1) < 0 || waits[1].revents != 0) {
            return std::nullopt;
        }
        flags |= MSG_DONTWAIT;
    }
    // Blocks for the first datagram only, then takes whatever else is already queued. A close
    // or stop ends the wait with nothing (interrupt()).
    const int count = ::recvmmsg(fd, messages.data(), kMaxBatch, flags, nullptr);
    if (count < 0) {
        const int number = errno;
        if (isTransient(number)) {
            if (number == ENOBUFS || number == ENOMEM) {
                // Memory pressure clears with time, not with retries.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return std::nullopt;
        }
        return Batch{std::nullopt, std::nullopt, systemError(number)};
    }
    filled = static_cast<std::size_t>(count);
    std::vector<dns::Datagram> datagrams;
    std::vector<flow::Endpoint> endpoints;
    datagrams.reserve(static_cast<std::size_t>(count));
    endpoints.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto& header = messages[i].msg_hdr;
        if ((header.msg_flags & MSG_TRUNC) != 0) {
            continue;
        }
        const auto* data = static_cast<const std::uint8_t*>(slots[i].iov.iov_base);
        datagrams.emplace_back(data, data + messages[i].msg_len);
        endpoints.emplace_back(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(&slots[i].sender), header.msg_namelen));
    }
    if (datagrams.empty()) {
        return std::nullopt;
    }
    return Batch{std::move(datagrams), std::move(endpoints), std::nullopt};
}

void ListenerFlow::Receiver::complete(ReadCompletion completion, Batch batch) {
    const Receiver* const outer = collecting;
    collecting = this;
    completion(std::move(batch.datagrams), std::move(batch.endpoints), batch.error);
    // Released before the held writes go: it may hold the last reference to the flow.
    completion = nullptr;
    collecting = outer;
    flush(fd, writeClosed.load(std::memory_order_acquire), held);
}

void ListenerFlow::Receiver::stop() {
    ReadCompletion dropped;
    {
        const std::lock_guard lock(mutex);
        stopping = true;
        dropped = std::move(pending);
        pending = nullptr;
    }
    interrupt();
    wake.notify_all();
}

void ListenerFlow::Receiver::interrupt() const {
    if (wakeFd < 0) {
        ::shutdown(fd, SHUT_RD);
        return;
    }
    // Never read back: the eventfd stays readable, so no later wait blocks either.
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
}

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
        socket.bind(local, error);
    }
    if (error) {
        return {nullptr, systemError(error)};
    }
    std::error_code ignored;
    socket.set_option(asio::socket_base::receive_buffer_size(kSocketReceiveBuffer), ignored);
    const auto bound = socket.local_endpoint(ignored);
    // From here on the socket is the receive thread's: blocking reads, writes with MSG_DONTWAIT.
    return start(queue, std::make_shared<Receiver>(socket.release(ignored), -1), bound);
}

ListenerBindResult ListenerFlow::adopt(AsioQueue& queue, int fd) {
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
    asio::ip::udp::endpoint local;
    auto length = static_cast<socklen_t>(local.capacity());
    if (::getsockname(fd, local.data(), &length) != 0) {
        return refuse(systemError(errno));
    }
    const auto family = local.data()->sa_family;
    if (family != AF_INET && family != AF_INET6) {
        return refuse(std::make_error_code(std::errc::address_family_not_supported));
    }
    local.resize(length);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd < 0) {
        return refuse(systemError(errno));
    }
    // The socket's options (buffer size, blocking mode) are the unit's to set, and stay as given:
    // the receive thread polls and reads without blocking, so either mode works.
    return start(queue, std::make_shared<Receiver>(fd, wakeFd), local);
}

ListenerBindResult ListenerFlow::start(AsioQueue& queue, const std::shared_ptr<Receiver>& receiver,
                                       const asio::ip::udp::endpoint& local) {
    auto flow = std::make_shared<ListenerFlow>(queue.context(), receiver, local);
    try {
        receiver->thread = std::thread([receiver] { receiver->run(); });
    } catch (const std::system_error& failure) {
        return {nullptr, failure.code()};  // out of threads: as much a failure to listen as any
    }
    return {std::move(flow), {}};
}

ListenerFlow::ListenerFlow(asio::io_context& io, std::shared_ptr<Receiver> receiver,
                           asio::ip::udp::endpoint local)
    : io_(io), receiver_(std::move(receiver)), local_(std::move(local)) {}

ListenerFlow::~ListenerFlow() {
    stop();
}

void ListenerFlow::stop() {
    receiver_->stop();
    if (!receiver_->thread.joinable()) {
        return;
    }
    if (receiver_->thread.get_id() == std::this_thread::get_id()) {
        // Released by its own read completion: the thread ends once that returns, and takes the
        // receiver with it.
        receiver_->thread.detach();
    } else {
        receiver_->thread.join();
    }
}

asio::ip::udp::endpoint ListenerFlow::localEndpoint() const {
    return local_;
}

void ListenerFlow::openWithLocalEndpoint(OpenCompletion completion) {
    // Bound at construction: opening only confirms it, on the queue like every completion.
    asio::post(io_, [completion = std::move(completion)] { completion(std::nullopt); });
}

void ListenerFlow::readDatagramsWithCompletionHandler(ReadCompletion completion) {
    auto refusal = std::errc::not_connected;
    {
        const std::lock_guard lock(receiver_->mutex);
        const bool open = !receiver_->readClosed && !receiver_->stopping;
        if (open && !receiver_->pending) {
            receiver_->pending = std::move(completion);
            // From inside a read completion the thread is running: it takes the read up on return.
            if (collecting != receiver_.get()) {
                receiver_->wake.notify_one();
            }
            return;
        }
        if (open) {
            refusal = std::errc::operation_in_progress;
        }
    }
    asio::post(io_, [completion = std::move(completion), refusal] {
        completion(std::nullopt, std::nullopt, std::make_error_code(refusal));
    });
}

void ListenerFlow::writeDatagrams(std::vector<dns::Datagram> datagrams,
                                  std::vector<flow::Endpoint> endpoints,
                                  WriteCompletion completion) {
    if (collecting == receiver_.get()) {
        hold(receiver_->held, datagrams, endpoints, completion);
        return;
    }
    HeldWrites now;
    hold(now, datagrams, endpoints, completion);
    flush(receiver_->fd, receiver_->writeClosed.load(std::memory_order_acquire), now);
}

void ListenerFlow::closeReadWithError(std::optional<flow::FlowError>) {
    {
        const std::lock_guard lock(receiver_->mutex);
        receiver_->readClosed = true;
    }
    // Ends a wait in receive(); the pending read then completes with operation_canceled.
    receiver_->interrupt();
    receiver_->wake.notify_one();
}

void ListenerFlow::closeWriteWithError(std::optional<flow::FlowError>) {
    receiver_->writeClosed.store(true, std::memory_order_release);
}

}  // namespace sieveharbor::platform::linux_host
