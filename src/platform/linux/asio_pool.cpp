#include "platform/linux/asio_pool.h"

#include <algorithm>

#include "platform/linux/allowed_cores.h"

namespace sieveharbor::platform::linux_host {

AsioPool::AsioPool(unsigned threads) : work_(asio::make_work_guard(io_)) {
    if (threads == 0) {
        threads = allowedCores();
    }
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { io_.run(); });
    }
}

AsioPool::~AsioPool() {
    stop();
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

bool AsioPool::onPoolThread() const noexcept {
    const auto self = std::this_thread::get_id();
    return std::any_of(threads_.begin(), threads_.end(),
                       [self](const std::thread& t) { return t.get_id() == self; });
}

void AsioPool::stop() {
    work_.reset();
    io_.stop();
    if (onPoolThread()) {
        return;
    }
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

}  // namespace sieveharbor::platform::linux_host
