#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>

#include "metrics/counters.h"

namespace sieveharbor::flow {

// A stream flow being served, as the registry sees it.
class RegisteredStream {
  public:
    virtual ~RegisteredStream() = default;
    // No query in progress and no answer waiting to be taken; any thread.
    virtual bool idle() const noexcept = 0;
    // Closes the flow, counting `reason` when there is one; any thread, returns at once.
    virtual void close(std::optional<metrics::TcpClose> reason) = 0;
};

// The stream flows of one provider, oldest first, for the cap on their number. Any thread.
class StreamRegistry {
  public:
    explicit StreamRegistry(std::size_t maxStreams) : maxStreams_(maxStreams) {}

    // Takes a stream in. At the cap the oldest idle stream is closed to make room; when none is
    // idle the newcomer is refused (false), and the caller is to close it.
    bool admit(const std::shared_ptr<RegisteredStream>& stream);
    void forget(const RegisteredStream* stream);

    std::size_t count() const;
    std::size_t idleCount() const;

  private:
    const std::size_t maxStreams_;
    mutable std::mutex mutex_;
    std::list<std::shared_ptr<RegisteredStream>> streams_;  // oldest first
};

}  // namespace sieveharbor::flow
