#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/queue.h"

namespace sieveharbor::platform::linux_host {

// Lets Asio-based objects run on a Queue's own executor instead of hopping through post().
class AsioExecutorSource {
  public:
    virtual ~AsioExecutorSource() = default;
    virtual asio::any_io_executor executor() const = 0;
    // True when tasks on executor() never run at the same time.
    virtual bool serial() const noexcept = 0;
};

// The global concurrent queue: one io_context run by a pool of threads (one per core by default).
// Serial queues are strands of it; timers are steady timers on the queue they belong to.
//
// Lifetime: the queue must outlive everything started on it. Destroying it stops the loop, joins
// the pool and then destroys every handler still pending, which releases the objects they hold.
class AsioQueue final : public Queue, public AsioExecutorSource {
  public:
    // threads == 0: one per core.
    explicit AsioQueue(unsigned threads = 0);
    // Must not run on one of the pool's threads.
    ~AsioQueue() override;

    AsioQueue(const AsioQueue&) = delete;
    AsioQueue& operator=(const AsioQueue&) = delete;

    // Ends the loop and joins the pool; idempotent. Called from a pool thread it only ends the
    // loop, and the destructor joins.
    void stop();

    asio::io_context& context() noexcept { return io_; }
    std::size_t threadCount() const noexcept { return threads_.size(); }

    void post(Task task) override;
    std::shared_ptr<Queue> makeSerialQueue() override;
    std::shared_ptr<Timer> scheduleAfter(std::chrono::milliseconds delay, Task task) override;

    asio::any_io_executor executor() const override { return io_.get_executor(); }
    bool serial() const noexcept override { return false; }

  private:
    bool onPoolThread() const noexcept;

    mutable asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopped_{false};
};

}  // namespace sieveharbor::platform::linux_host
