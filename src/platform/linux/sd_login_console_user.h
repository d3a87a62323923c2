#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include "platform/console_user.h"
#include "platform/observer_list.h"

namespace sieveharbor::platform::linux_host {

// The list of the user of the active session on seat0, as systemd-logind tells it. Nothing when
// logind is not running, no one is at the seat, or the user has no name in the user database.
// Changes of session are watched with an sd-login monitor on a thread of its own, started by
// the first watch and stopped with the object; without logind nothing is ever told.
class SdLoginConsoleUser final : public platform::ConsoleUser {
  public:
    SdLoginConsoleUser() = default;
    ~SdLoginConsoleUser() override;
    SdLoginConsoleUser(const SdLoginConsoleUser&) = delete;
    SdLoginConsoleUser& operator=(const SdLoginConsoleUser&) = delete;

    std::optional<std::string> blocklistPath() override;
    void watch(const void* observer, Callback changed) override;
    void stopWatching(const void* observer) override;

  private:
    ObserverList watchers_;
    std::mutex startMutex_;  // guards the three below
    int stopFd_ = -1;        // an eventfd that ends the monitor's thread
    std::thread thread_;
    bool unwatchable_ = false;
};

// The name of a user id, or nothing when the user database has none.
std::optional<std::string> userNameOf(unsigned uid);

}  // namespace sieveharbor::platform::linux_host
