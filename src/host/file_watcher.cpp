#include "host/file_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace sieveharbor::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFolderEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM;

std::error_code lastError() {
    return {errno, std::system_category()};
}

}  // namespace

std::string FileWatcher::folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

FileWatcher::Started FileWatcher::start(const std::string& path, OnChange onChange,
                                        std::chrono::milliseconds settle) {
    const auto slash = path.rfind('/');
    const std::string folder = folderOf(path);
    std::string fileName = slash == std::string::npos ? path : path.substr(slash + 1);
    if (fileName.empty()) {
        return {nullptr, std::make_error_code(std::errc::is_a_directory)};
    }

    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        return {nullptr, lastError()};
    }
    if (::inotify_add_watch(inotifyFd, folder.c_str(), kFolderEvents | IN_ONLYDIR) < 0) {
        const auto error = lastError();
        ::close(inotifyFd);
        return {nullptr, error};
    }
    const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        const auto error = lastError();
        ::close(inotifyFd);
        return {nullptr, error};
    }
    return {std::make_unique<FileWatcher>(inotifyFd, wakeFd, std::move(fileName),
                                          std::move(onChange), settle),
            {}};
}

FileWatcher::FileWatcher(int inotifyFd, int wakeFd, std::string fileName, OnChange onChange,
                         std::chrono::milliseconds settle)
    : inotifyFd_(inotifyFd),
      wakeFd_(wakeFd),
      fileName_(std::move(fileName)),
      onChange_(std::move(onChange)),
      settle_(settle),
      worker_([this] { run(); }) {}

FileWatcher::~FileWatcher() {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of overflow, which one write cannot reach.
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    worker_.join();
    ::close(wakeFd_);
    ::close(inotifyFd_);
}

bool FileWatcher::drainEvents() {
    bool relevant = false;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t size = ::read(inotifyFd_, buffer, sizeof buffer);
        if (size <= 0) {
            // EAGAIN: drained. Anything else: nothing more to learn now; poll tells us again.
            return relevant;
        }
        for (ssize_t offset = 0; offset < size;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const char* name = buffer + offset + sizeof(inotify_event);
            // The queue overflowed: the file may have changed among the lost events.
            if ((event.mask & IN_Q_OVERFLOW) != 0 ||
                (event.len > 0 &&
                 fileName_ == std::string_view(name, ::strnlen(name, event.len)))) {
                relevant = true;
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
}

void FileWatcher::run() {
    bool pending = false;
    Clock::time_point firstChange;
    Clock::time_point lastChange;
    const auto due = [&] { return std::min(lastChange + settle_, firstChange + 4 * settle_); };
    for (;;) {
        int timeout = -1;
        if (pending) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(due() - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(left + 1, 0));
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) != 0 && drainEvents()) {
            lastChange = Clock::now();
            if (!pending) {
                pending = true;
                firstChange = lastChange;
            }
        }
        if (pending && Clock::now() >= due()) {
            pending = false;
            onChange_();
        }
    }
}

}  // namespace sieveharbor::host
