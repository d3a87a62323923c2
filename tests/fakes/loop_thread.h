#pragma once

#include <thread>

#include "platform/linux/event_loop.h"

namespace sieveharbor::fakes {

// An event loop on a thread of its own for the length of a test, running by the time the
// constructor returns; the destructor stops it and joins the thread.
class LoopThread {
  public:
    LoopThread() : thread_([this] { loop.run(); }) {
        while (!loop.started()) {
            std::this_thread::yield();
        }
    }
    ~LoopThread() {
        loop.stop();
        thread_.join();
    }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    std::thread::id id() const { return thread_.get_id(); }

    platform::linux_host::EventLoop loop;  // before the thread that runs it

  private:
    std::thread thread_;
};

}  // namespace sieveharbor::fakes
