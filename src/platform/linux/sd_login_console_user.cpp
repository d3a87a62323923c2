#include "platform/linux/sd_login_console_user.h"

#include <pwd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace sieveharbor::platform::linux_host {

std::optional<std::string> userNameOf(unsigned uid) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    // A big entry (long gecos, NSS modules) asks for more room; 1 MiB is far beyond any real one.
    while (buffer.size() <= 1024 * 1024) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_name == nullptr ||
            *found->pw_name == '\0') {
            return std::nullopt;
        }
        return std::string(found->pw_name);
    }
    return std::nullopt;
}

std::optional<std::string> SdLoginConsoleUser::blocklistPath() {
    char* session = nullptr;
    uid_t uid = 0;
    // Fails with a negative errno when logind is absent or the seat has no active session.
    const int result = ::sd_seat_get_active("seat0", &session, &uid);
    std::free(session);
    if (result < 0) {
        return std::nullopt;
    }
    const auto name = userNameOf(uid);
    return name ? blocklistPathOfConsoleUser(*name) : std::nullopt;
}

}  // namespace sieveharbor::platform::linux_host
