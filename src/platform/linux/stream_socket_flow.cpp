#include "platform/linux/stream_socket_flow.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

// What one read takes at most: a whole framed message of the largest size.
constexpr std::size_t kReadBytes = 65536;

}  // namespace

std::shared_ptr<StreamSocketFlow> StreamSocketFlow::adopt(EventLoop& loop, int fd) {
    auto flow = std::make_shared<StreamSocketFlow>(loop, fd);
    if (!loop.watchEdges(fd, flow.get())) {
        return nullptr;  // the destructor closes fd
    }
    loop.hold(flow);
    return flow;
}

StreamSocketFlow::~StreamSocketFlow() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void StreamSocketFlow::openWithLocalEndpoint(OpenCompletion completion) {
    // Connected when accepted: opening only confirms it, on the loop like every completion.
    loop_.post([completion = std::move(completion)] { completion(std::nullopt); });
}

void StreamSocketFlow::readDataWithCompletionHandler(ReadCompletion completion) {
    loop_.dispatch([self = shared_from_this(), completion = std::move(completion)]() mutable {
        if (self->readClosed_ || self->closed_ || self->pendingRead_) {
            const auto refusal =
                self->pendingRead_ ? std::errc::operation_in_progress : std::errc::not_connected;
            self->loop_.post([completion = std::move(completion), refusal] {
                completion({}, std::make_error_code(refusal));
            });
            return;
        }
        self->pendingRead_ = std::move(completion);
        if (self->readable_) {
            self->tryRead();
        }
    });
}

void StreamSocketFlow::tryRead() {
    thread_local std::array<std::uint8_t, kReadBytes> buffer;
    const ssize_t size = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (size < 0 && wouldBlock(errno)) {
        readable_ = false;  // the next arrival is an edge
        return;
    }
    // Less than asked for: the socket is drained, and whatever comes next is an edge; unless the
    // client has gone, when the end or the error waits behind the bytes.
    if (size >= 0 && static_cast<std::size_t>(size) < buffer.size() && !peerGone_) {
        readable_ = false;
    }
    auto completion = std::move(pendingRead_);
    pendingRead_ = nullptr;
    if (size < 0) {
        completion({}, systemError(errno));
        return;
    }
    // Nothing at all: the client has closed its side.
    completion(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(size)),
               std::nullopt);
}

void StreamSocketFlow::writeData(std::vector<std::uint8_t> data, WriteCompletion completion) {
    loop_.dispatch([self = shared_from_this(), data = std::move(data),
                    completion = std::move(completion)]() mutable {
        if (self->writeClosed_ || self->closed_) {
            self->loop_.post([completion = std::move(completion)] {
                completion(std::make_error_code(std::errc::not_connected));
            });
            return;
        }
        self->writes_.push_back({std::move(data), 0, std::move(completion)});
        if (self->writable_) {
            self->sendQueued();
        }
    });
}

void StreamSocketFlow::sendQueued() {
    if (sending_) {
        return;  // a completion wrote again: the loop below takes it
    }
    sending_ = true;
    while (!writes_.empty() && !closed_) {
        Write& write = writes_.front();
        const ssize_t sent = ::send(fd_, write.data.data() + write.sent,
                                    write.data.size() - write.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (wouldBlock(errno)) {
                writable_ = false;
            } else {
                failWrites(systemError(errno));
            }
            break;
        }
        write.sent += static_cast<std::size_t>(sent);
        if (write.sent < write.data.size()) {
            writable_ = false;  // the kernel's buffer is full: wait for the edge
            break;
        }
        auto completion = std::move(write.completion);
        writes_.pop_front();
        completion(std::nullopt);
    }
    sending_ = false;
}

void StreamSocketFlow::failWrites(FlowError error) {
    if (writes_.empty()) {
        return;
    }
    auto failed = std::move(writes_);
    writes_.clear();
    loop_.post([failed = std::make_shared<std::deque<Write>>(std::move(failed)), error] {
        for (auto& write : *failed) {
            write.completion(error);
        }
    });
}

void StreamSocketFlow::onReady(std::uint32_t events) {
    if (closed_) {
        return;
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        readable_ = true;
    }
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        peerGone_ = true;
    }
    if ((events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0) {
        writable_ = true;
    }
    // Held for the calls below, which may close the flow and let the loop go of it.
    const auto self = shared_from_this();
    if (writable_ && !writes_.empty()) {
        sendQueued();
    }
    if (readable_ && pendingRead_ && !closed_) {
        tryRead();
    }
}

void StreamSocketFlow::closeReadWithError(std::optional<FlowError> /*error*/) {
    loop_.dispatch([self = shared_from_this()] {
        self->readClosed_ = true;
        if (auto completion = std::move(self->pendingRead_)) {
            self->pendingRead_ = nullptr;
            self->loop_.post([completion = std::move(completion)] {
                completion({}, std::make_error_code(std::errc::operation_canceled));
            });
        }
        self->closeIfDone();
    });
}

void StreamSocketFlow::closeWriteWithError(std::optional<FlowError> /*error*/) {
    loop_.dispatch([self = shared_from_this()] {
        self->writeClosed_ = true;
        // Answers not yet sent go unsent: the flow is being given up.
        self->failWrites(std::make_error_code(std::errc::operation_canceled));
        self->closeIfDone();
    });
}

void StreamSocketFlow::closeIfDone() {
    if (closed_ || !readClosed_ || !writeClosed_) {
        return;
    }
    closed_ = true;
    ::close(fd_);  // leaves the epoll set with it
    fd_ = -1;
    loop_.forget(this);
}

void StreamSocketFlow::abandon() {
    closed_ = true;
    pendingRead_ = nullptr;
    writes_.clear();
}

}  // namespace sieveharbor::platform::linux_host
