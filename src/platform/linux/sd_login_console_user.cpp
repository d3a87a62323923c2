#include "platform/linux/sd_login_console_user.h"

#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

SdLoginConsoleUser::~SdLoginConsoleUser() {
    const std::lock_guard lock(startMutex_);
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stopFd_, &one, sizeof one);
        thread_.join();
        ::close(stopFd_);
    }
}

void SdLoginConsoleUser::watch(const void* observer, Callback changed) {
    watchers_.add(observer, std::move(changed));
    const std::lock_guard lock(startMutex_);
    if (thread_.joinable() || unwatchable_) {
        return;
    }
    sd_login_monitor* monitor = nullptr;
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0 || ::sd_login_monitor_new("seat", &monitor) < 0) {
        if (stopFd >= 0) {
            ::close(stopFd);
        }
        unwatchable_ = true;  // no logind (a container, a minimal system): no word will come
        return;
    }
    stopFd_ = stopFd;
    thread_ = std::thread([this, monitor, stopFd] {
        pollfd fds[] = {{::sd_login_monitor_get_fd(monitor), POLLIN, 0}, {stopFd, POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                break;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                ::sd_login_monitor_flush(monitor);
                watchers_.deliver();
            }
        }
        ::sd_login_monitor_unref(monitor);
    });
}

void SdLoginConsoleUser::stopWatching(const void* observer) {
    watchers_.removeEvery(observer);
}

}  // namespace sieveharbor::platform::linux_host
