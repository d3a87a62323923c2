#include "platform/linux/asio_queue.h"

#include <algorithm>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include "platform/linux/allowed_cores.h"

namespace sieveharbor::platform::linux_host {

namespace {

using Strand = asio::strand<asio::io_context::executor_type>;

// A timer bound to one executor; its task and cancel() both run there, so they never race.
class AsioTimer final : public Timer, public std::enable_shared_from_this<AsioTimer> {
  public:
    AsioTimer(asio::any_io_executor executor, Task task)
        : executor_(std::move(executor)), timer_(executor_), task_(std::move(task)) {}

    void arm(std::chrono::milliseconds delay) {
        timer_.expires_after(delay);
        timer_.async_wait([self = shared_from_this()](const std::error_code& error) {
            Task task = std::move(self->task_);
            if (!error && !self->cancelled_.load(std::memory_order_acquire) && task) {
                task();
            }
        });
    }

    void cancel() override {
        if (cancelled_.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        // Wakes the wait at once so the task, and what it holds, is released now.
        asio::dispatch(executor_, [self = shared_from_this()] { self->timer_.cancel(); });
    }

  private:
    asio::any_io_executor executor_;
    asio::steady_timer timer_;
    Task task_;
    std::atomic<bool> cancelled_{false};
};

class AsioSerialQueue final : public Queue, public AsioExecutorSource {
  public:
    explicit AsioSerialQueue(Strand strand) : strand_(std::move(strand)) {}

    void post(Task task) override { asio::post(strand_, std::move(task)); }
    std::shared_ptr<Queue> makeSerialQueue() override {
        return std::make_shared<AsioSerialQueue>(asio::make_strand(strand_.get_inner_executor()));
    }
    std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task) override {
        auto timer = std::make_shared<AsioTimer>(strand_, std::move(task));
        timer->arm(delay);
        return timer;
    }

    asio::any_io_executor executor() const override { return strand_; }
    bool serial() const noexcept override { return true; }

  private:
    Strand strand_;
};

}  // namespace

AsioQueue::AsioQueue(unsigned threads) : work_(asio::make_work_guard(io_)) {
    if (threads == 0) {
        threads = allowedCores();
    }
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { io_.run(); });
    }
}

AsioQueue::~AsioQueue() {
    stop();
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

bool AsioQueue::onPoolThread() const noexcept {
    const auto self = std::this_thread::get_id();
    return std::any_of(threads_.begin(), threads_.end(),
                       [self](const std::thread& t) { return t.get_id() == self; });
}

void AsioQueue::stop() {
    stopped_.store(true, std::memory_order_release);
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

void AsioQueue::post(Task task) {
    asio::post(io_, std::move(task));
}

std::shared_ptr<Queue> AsioQueue::makeSerialQueue() {
    return std::make_shared<AsioSerialQueue>(asio::make_strand(io_.get_executor()));
}

std::shared_ptr<Timer> AsioQueue::scheduleAfter(std::chrono::milliseconds delay, Task task) {
    // A strand of its own keeps cancel() and the expiry from touching the timer at once.
    auto timer =
        std::make_shared<AsioTimer>(asio::make_strand(io_.get_executor()), std::move(task));
    timer->arm(delay);
    return timer;
}

}  // namespace sieveharbor::platform::linux_host
