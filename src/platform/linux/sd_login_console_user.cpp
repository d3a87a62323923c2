#include "platform/linux/sd_login_console_user.h"

#include <pwd.h>
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
    while (buffer.size() <= std::size_t{1024} * 1024) {
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

// The sd-login monitor as a watcher of the loop: each wake-up is a change of session on some
// seat, told to every observer.
class SdLoginConsoleUser::Monitor final : public Watcher,
                                          public std::enable_shared_from_this<Monitor> {
  public:
    Monitor(EventLoop& loop, sd_login_monitor* monitor, std::shared_ptr<ObserverList> watchers)
        : loop_(loop), monitor_(monitor), watchers_(std::move(watchers)) {}
    ~Monitor() override { ::sd_login_monitor_unref(monitor_); }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    void begin() {
        if (!ended_ && loop_.watchAllInput(::sd_login_monitor_get_fd(monitor_), this)) {
            watched_ = true;
            loop_.hold(shared_from_this());
        }
    }
    void end() {
        ended_ = true;
        if (watched_) {
            watched_ = false;
            loop_.unwatch(::sd_login_monitor_get_fd(monitor_));
            loop_.forget(this);
        }
    }

    void onReady(std::uint32_t /*events*/) override {
        if (ended_) {
            return;
        }
        ::sd_login_monitor_flush(monitor_);
        watchers_->deliver();
    }
    void abandon() override { ended_ = true; }

  private:
    EventLoop& loop_;
    sd_login_monitor* const monitor_;
    const std::shared_ptr<ObserverList> watchers_;
    bool watched_ = false;
    bool ended_ = false;
};

SdLoginConsoleUser::~SdLoginConsoleUser() {
    const std::lock_guard lock(startMutex_);
    if (monitor_) {
        loop_.runAndWait([monitor = monitor_] { monitor->end(); });
    }
}

void SdLoginConsoleUser::watch(const void* observer, Callback changed) {
    watchers_->add(observer, std::move(changed));
    const std::lock_guard lock(startMutex_);
    if (monitor_ || unwatchable_) {
        return;
    }
    sd_login_monitor* monitor = nullptr;
    if (::sd_login_monitor_new("seat", &monitor) < 0) {
        unwatchable_ = true;  // no logind (a container, a minimal system): no word will come
        return;
    }
    monitor_ = std::make_shared<Monitor>(loop_, monitor, watchers_);
    loop_.dispatch([monitor = monitor_] { monitor->begin(); });
}

void SdLoginConsoleUser::stopWatching(const void* observer) {
    watchers_->removeEvery(observer);
}

}  // namespace sieveharbor::platform::linux_host
