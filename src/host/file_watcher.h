#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

namespace sieveharbor::host {

// Watches one file for changes by watching its folder (inotify), so that a write in place, a
// write to a temporary file renamed over it, its creation and its removal are all seen.
//
// Changes that follow each other within the settle time are reported once, after the file has
// been quiet for the settle time (and at most four settle times after the first change, so a
// file rewritten without pause is still reported). onChange runs on the watcher's own thread.
class FileWatcher {
  public:
    using OnChange = std::function<void()>;

    struct Started {
        std::unique_ptr<FileWatcher> watcher;
        std::error_code error;  // when watcher is empty: why the folder cannot be watched
    };

    static Started start(const std::string& path, OnChange onChange,
                         std::chrono::milliseconds settle = std::chrono::milliseconds(150));

    // Stops the thread (a change not yet reported is dropped) and joins it. Must not be called
    // from onChange.
    ~FileWatcher();

    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // The folder watched for path: its parent, "." for a bare name.
    static std::string folderOf(const std::string& path);

    // Private in spirit: use start().
    FileWatcher(int inotifyFd, int wakeFd, std::string fileName, OnChange onChange,
                std::chrono::milliseconds settle);

  private:
    void run();
    // True when the pending events name the watched file.
    bool drainEvents();

    const int inotifyFd_;
    const int wakeFd_;
    const std::string fileName_;
    const OnChange onChange_;
    const std::chrono::milliseconds settle_;
    std::thread worker_;
};

}  // namespace sieveharbor::host
