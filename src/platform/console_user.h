#pragma once

#include <optional>
#include <string>

namespace sieveharbor::platform {

// Who is logged in at the console. Called from any thread, synchronously.
class ConsoleUser {
  public:
    virtual ~ConsoleUser() = default;
    // The short name of the user at the console, exactly as the system gives it, or nothing when
    // no one is logged in (or the system cannot tell).
    virtual std::optional<std::string> consoleUserName() = 0;
};

}  // namespace sieveharbor::platform
