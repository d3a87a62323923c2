#pragma once

#include <memory>
#include <mutex>

#include "platform/console_user.h"
#include "platform/linux/event_loop.h"
#include "platform/observer_list.h"

namespace sieveharbor::platform::linux_host {

// The list of the user of the active session on seat0, as systemd-logind tells it. Nothing when
// logind is not running, no one is at the seat, or the user has no name in the user database.
// Changes of session are watched with an sd-login monitor on `loop`, started by the first watch
// and stopped with the object, and told on the loop's thread; without logind nothing is ever
// told. The loop must outlive the object.
class SdLoginConsoleUser final : public platform::ConsoleUser {
  public:
    explicit SdLoginConsoleUser(EventLoop& loop) : loop_(loop) {}
    // Takes the monitor off the loop; once it has returned, no callback runs or will run.
    ~SdLoginConsoleUser() override;
    SdLoginConsoleUser(const SdLoginConsoleUser&) = delete;
    SdLoginConsoleUser& operator=(const SdLoginConsoleUser&) = delete;

    std::optional<std::string> blocklistPath() override;
    void watch(const void* observer, Callback changed) override;
    void stopWatching(const void* observer) override;

  private:
    class Monitor;

    EventLoop& loop_;
    // Shared with the monitor, which delivers to it on the loop.
    const std::shared_ptr<ObserverList> watchers_ = std::make_shared<ObserverList>();
    std::mutex startMutex_;  // guards the two below
    std::shared_ptr<Monitor> monitor_;
    bool unwatchable_ = false;
};

// The name of a user id, or nothing when the user database has none.
std::optional<std::string> userNameOf(unsigned uid);

}  // namespace sieveharbor::platform::linux_host
