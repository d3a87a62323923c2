#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/linux/event_loop.h"

namespace sieveharbor::platform::linux_host {

// When a run of changes is reported: once the file has been quiet for the settle time, and at
// most four settle times after the first change, so a file rewritten without pause is still
// reported. Pure: the times are given, so the rule is tested without a clock.
class ChangeSettler {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ChangeSettler(std::chrono::milliseconds settle) : settle_(settle) {}

    void changed(Clock::time_point now);
    // When the pending report falls due; nothing when no change is pending.
    std::optional<Clock::time_point> due() const;
    // True, once, when a pending report is due at `now`.
    bool takeDue(Clock::time_point now);

  private:
    std::chrono::milliseconds settle_;
    bool pending_ = false;
    Clock::time_point first_;
    Clock::time_point last_;
};

// Watches one file for new versions with inotify, by watching its folder: a file written and
// closed, a file renamed over it, its removal, and a symbolic link put in its place are seen;
// writes still in progress are not (a writer that truncates and then writes slowly is reported
// when it closes the file). A file that is a symbolic link is also watched where it points.
//
// A folder on the path that does not exist (yet, or any more) is waited for: the nearest
// folder above it that exists is watched until it appears, and the file is then reported
// once, since it may have come with its folder.
//
// Changes are reported as ChangeSettler says, on the thread of the loop the watch runs on.
class FileWatcher {
  public:
    using OnChange = std::function<void()>;

    struct Started {
        std::unique_ptr<FileWatcher> watcher;
        std::error_code error;  // when watcher is empty: why nothing can be watched
    };

    // The loop must outlive the watcher.
    static Started start(EventLoop& loop, const std::string& path, OnChange onChange,
                         std::chrono::milliseconds settle = std::chrono::milliseconds(150));

    // Takes the watch off its loop (a change not yet reported is dropped); once it has
    // returned, onChange neither runs nor will run. Must not be called from onChange.
    ~FileWatcher();

    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // The folder that holds path: its parent, "." for a bare name.
    static std::string folderOf(const std::string& path);

    class Watch;

  private:
    struct PrivateTag {};

  public:
    FileWatcher(PrivateTag, EventLoop& loop, std::shared_ptr<Watch> watch)
        : loop_(loop), watch_(std::move(watch)) {}

  private:
    EventLoop& loop_;
    // Shared with the loop, which holds it while it watches.
    std::shared_ptr<Watch> watch_;
};

}  // namespace sieveharbor::platform::linux_host
