#include "platform/console_user.h"

#include "text/text.h"

namespace sieveharbor::platform {
namespace {

// The console user when the login window holds the console, not a person.
constexpr std::string_view kLoginWindowUser = "loginwindow";

}  // namespace

std::optional<std::string> blocklistPathOfConsoleUser(std::string_view userName) {
    // Equality of text is canonical equivalence, and it is case-sensitive: "LoginWindow" is a
    // user whose file is looked for.
    if (userName.empty() || text::toNfc(userName) == kLoginWindowUser) {
        return std::nullopt;
    }
    // The name goes in as the system gives it; the folder is fixed, not the user's home.
    return "/Users/" + std::string(userName) +
           "/Library/Application Support/SieveHarbor/blocklist.txt";
}

}  // namespace sieveharbor::platform
