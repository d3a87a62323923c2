#pragma once

#include <string_view>

namespace sieveharbor::platform {

// The system-wide notification centre: observers subscribe to a name with a plain callback and
// are keyed by an untyped observer pointer, which the centre hands back to the callback.
//
// Threads: callbacks run on the centre's own delivery thread, one delivery at a time, one call
// per subscription per delivered notification. add and removeEvery may be called from any thread,
// also from inside a callback. Once removeEveryObserver(observer) has returned, no callback for
// that observer is running (unless the caller is that very callback) or will run, so an observer
// may be destroyed right after removing itself.
class NotificationCenter {
  public:
    using Callback = void (*)(NotificationCenter* center, void* observer, std::string_view name,
                              const void* object, const void* userInfo);

    // How a subscription behaves while its application is suspended; only immediate delivery
    // exists here.
    enum class SuspensionBehavior { deliverImmediately = 4 };

    virtual ~NotificationCenter() = default;

    virtual void addObserver(void* observer, Callback callback, std::string_view name,
                             SuspensionBehavior behavior) = 0;
    virtual void removeEveryObserver(void* observer) = 0;
    // Delivers `name` to its subscribers later, on the delivery thread.
    virtual void post(std::string_view name) = 0;
};

}  // namespace sieveharbor::platform
