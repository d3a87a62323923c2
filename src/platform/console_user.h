#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sieveharbor::platform {

// Where the person at the console keeps the blocklist. Called from any thread, synchronously.
class ConsoleUser {
  public:
    virtual ~ConsoleUser() = default;
    // The blocklist file of the person logged in at the console, or nothing when no person is
    // there: no one is logged in, the system cannot tell, or the login window holds the console.
    // Whether the file exists is the caller's to find out.
    virtual std::optional<std::string> blocklistPath() = 0;
};

// The blocklist file of the console user `userName`, the name exactly as the system gives it, or
// nothing when the name is no person's (empty, or the login window's). Both hosts keep the list
// in the one folder under /Users/, whatever the user's home is.
std::optional<std::string> blocklistPathOfConsoleUser(std::string_view userName);

}  // namespace sieveharbor::platform
