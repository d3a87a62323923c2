#pragma once

#include "platform/console_user.h"

namespace sieveharbor::platform::linux_host {

// The list of the user of the active session on seat0, as systemd-logind tells it. Nothing when
// logind is not running, no one is at the seat, or the user has no name in the user database.
class SdLoginConsoleUser final : public platform::ConsoleUser {
  public:
    std::optional<std::string> blocklistPath() override;
};

// The name of a user id, or nothing when the user database has none.
std::optional<std::string> userNameOf(unsigned uid);

}  // namespace sieveharbor::platform::linux_host
