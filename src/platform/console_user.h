#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sieveharbor::platform {

// Where the person at the console keeps the blocklist, and word when that person may have
// changed. Called from any thread.
class ConsoleUser {
  public:
    using Callback = std::function<void()>;

    virtual ~ConsoleUser() = default;
    // The blocklist file of the person logged in at the console, or nothing when no person is
    // there: no one is logged in, the system cannot tell, or the login window holds the console.
    // Whether the file exists is the caller's to find out.
    virtual std::optional<std::string> blocklistPath() = 0;

    // Calls `changed`, on the seam's own thread, whenever someone logs in or out at the console
    // or another user is switched in, in place of any callback `observer` had. Where the system
    // cannot tell, it is never called. Once stopWatching(observer) has returned, no callback of
    // that observer runs or will run (unless the caller is that callback).
    virtual void watch(const void* observer, Callback changed) = 0;
    virtual void stopWatching(const void* observer) = 0;
};

// The blocklist file of the console user `userName`, the name exactly as the system gives it, or
// nothing when the name is no person's (empty, or the login window's). Both hosts keep the list
// in the one folder under /Users/, whatever the user's home is.
std::optional<std::string> blocklistPathOfConsoleUser(std::string_view userName);

}  // namespace sieveharbor::platform
