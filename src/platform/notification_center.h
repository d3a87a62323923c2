#pragma once

#include <functional>
#include <string_view>

namespace sieveharbor::platform {

// The system-wide notification centre: observers subscribe to a name with a callback, each
// subscription keyed by its observer's address, which only identifies it for removal and is never
// dereferenced.
//
// Threads: callbacks run on the centre's own delivery thread, one delivery at a time, one call
// per subscription per delivered notification. add and removeEvery may be called from any thread,
// also from inside a callback. Once removeEveryObserver(observer) has returned, no callback for
// that observer is running (unless the caller is that very callback) or will run, so an observer
// may be destroyed right after removing itself, and its callbacks may refer to it freely.
class NotificationCenter {
  public:
    using Callback = std::function<void()>;

    // How a subscription behaves while its application is suspended; only immediate delivery
    // exists here.
    enum class SuspensionBehavior { deliverImmediately = 4 };

    virtual ~NotificationCenter() = default;

    virtual void addObserver(const void* observer, std::string_view name,
                             SuspensionBehavior behavior, Callback callback) = 0;
    virtual void removeEveryObserver(const void* observer) = 0;
    // Delivers `name` to its subscribers later, on the delivery thread.
    virtual void post(std::string_view name) = 0;
};

}  // namespace sieveharbor::platform
