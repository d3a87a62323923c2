#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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
// Changes are reported as ChangeSettler says, on the watcher's own thread.
class FileWatcher {
  public:
    using OnChange = std::function<void()>;

    struct Started {
        std::unique_ptr<FileWatcher> watcher;
        std::error_code error;  // when watcher is empty: why nothing can be watched
    };

    static Started start(const std::string& path, OnChange onChange,
                         std::chrono::milliseconds settle = std::chrono::milliseconds(150));

    // Stops the thread (a change not yet reported is dropped) and joins it. Must not be called
    // from onChange.
    ~FileWatcher();

    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // The folder that holds path: its parent, "." for a bare name.
    static std::string folderOf(const std::string& path);

    // Private in spirit: use start().
    FileWatcher(int inotifyFd, int wakeFd, std::string path, OnChange onChange,
                std::chrono::milliseconds settle);

  private:
    // One folder watched: the file's own (name is the file's), or the nearest existing folder
    // above a missing one (name is the next folder down).
    struct Watch {
        int descriptor;
        std::string folder;
        std::string name;
        bool fileFolder;
    };

    void run();
    // Places the watches for the path as it now is; true when a file folder is watched now that
    // was not before.
    bool arm();
    // What the pending events ask for.
    struct Drained {
        bool changed = false;
        bool rearm = false;
    };
    Drained drainEvents();

    const int inotifyFd_;
    const int wakeFd_;
    const std::string path_;
    const OnChange onChange_;
    ChangeSettler settler_;
    std::vector<Watch> watches_;  // only the worker thread touches it after start
    std::thread worker_;
};

}  // namespace sieveharbor::platform::linux_host
