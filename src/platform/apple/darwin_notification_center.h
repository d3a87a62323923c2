#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/notification_center.h"

namespace sieveharbor::platform::apple {

// The notify(3) calls the centre is built on. The macOS host makes them for real
// (system_services.mm); the tests stand in for them, since what the centre decides is plain C++.
class NotifyApi {
  public:
    virtual ~NotifyApi() = default;
    // Registers for `name` (notify_register_dispatch): `deliver` then runs on the one delivery
    // queue, once per post, until the token is cancelled. Nothing when notify refuses.
    virtual std::optional<int> registerName(const std::string& name,
                                            std::function<void()> deliver) = 0;
    virtual void cancel(int token) = 0;              // notify_cancel
    virtual void post(const std::string& name) = 0;  // notify_post
    virtual bool onDeliveryQueue() const = 0;
    // Returns once the delivery running now, if any, has finished; never called on that queue.
    virtual void awaitDelivery() = 0;
};

// The system-wide notification centre of the macOS host, over notify(3) rather than the
// CoreFoundation Darwin centre: that one delivers only while the main thread's run loop runs, and
// the process parks its main thread in dispatch_main, so no reload would ever arrive. A name
// posted with notify_post, or through the CoreFoundation centre, reaches it the same.
//
// Each subscription is one notify registration; subscribing an observer to a name again replaces
// the earlier one. Once removeEveryObserver(observer) has returned, no callback of that observer
// runs or will run (unless the caller is that callback): its registrations are cancelled, a
// delivery already queued finds the subscription gone, and one running is waited for. So an
// observer may be destroyed right after removing itself. Any thread.
class DarwinNotificationCenter final : public NotificationCenter {
  public:
    explicit DarwinNotificationCenter(std::shared_ptr<NotifyApi> api);
    // Cancels every registration, as removeEveryObserver does for all.
    ~DarwinNotificationCenter() override;

    DarwinNotificationCenter(const DarwinNotificationCenter&) = delete;
    DarwinNotificationCenter& operator=(const DarwinNotificationCenter&) = delete;

    void addObserver(const void* observer, std::string_view name, SuspensionBehavior behavior,
                     Callback callback) override;
    void removeEveryObserver(const void* observer) override;
    void post(std::string_view name) override;

  private:
    struct Subscription {
        std::uint64_t id;
        const void* observer;
        Callback callback;
        std::string name;
        int token;
    };
    // Shared with the registered handlers, which may still be queued after the centre is gone.
    struct State {
        std::mutex mutex;
        std::vector<Subscription> subscriptions;
        std::uint64_t nextId = 0;
        bool centerGone = false;  // set once the centre is gone
    };

    static void deliver(const std::shared_ptr<State>& state, std::uint64_t id);
    // Takes out the subscriptions `matches` picks, cancels them and waits out a running delivery.
    template <class Matches>
    void remove(Matches matches);

    const std::shared_ptr<NotifyApi> api_;
    const std::shared_ptr<State> state_;
};

}  // namespace sieveharbor::platform::apple
