#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <thread>
#include <vector>

namespace sieveharbor::platform::linux_host {

// One io_context run by a pool of threads (one per core the process may use by default): what
// the TCP server runs on.
//
// Lifetime: the pool must outlive everything started on it. Destroying it stops the loop, joins
// the threads and then destroys every handler still pending, which releases what they hold.
class AsioPool {
  public:
    // threads == 0: one per core.
    explicit AsioPool(unsigned threads = 0);
    // Must not run on one of the pool's threads.
    ~AsioPool();

    AsioPool(const AsioPool&) = delete;
    AsioPool& operator=(const AsioPool&) = delete;

    // Ends the loop and joins the threads; idempotent. Called from a pool thread it only ends the
    // loop, and the destructor joins.
    void stop();

    asio::io_context& context() noexcept { return io_; }

  private:
    bool onPoolThread() const noexcept;

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

}  // namespace sieveharbor::platform::linux_host
