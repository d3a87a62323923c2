#include "platform/linux/file_watcher.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace sieveharbor::platform::linux_host {

namespace {

using Clock = ChangeSettler::Clock;

// In the file's folder: a version finished (closed after writing, renamed in, removed, renamed
// away), a symbolic link made, and the folder itself going away.
constexpr std::uint32_t kFileFolderEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                            IN_DELETE | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF |
                                            IN_ONLYDIR;
// In a folder above a missing one: the next folder down appearing, or this one going away.
constexpr std::uint32_t kAncestorEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Links followed from the watched path, at most: a loop of links ends here.
constexpr int kMaxLinks = 8;

std::error_code lastError() {
    return {errno, std::system_category()};
}

std::string nameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool isLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// Where the link at path points, relative targets read from the link's folder.
std::string linkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return {};
    }
    const std::string text(target, static_cast<std::size_t>(length));
    return text.front() == '/' ? text : FileWatcher::folderOf(path) + "/" + text;
}

}  // namespace

void ChangeSettler::changed(Clock::time_point now) {
    last_ = now;
    if (!pending_) {
        pending_ = true;
        first_ = now;
    }
}

std::optional<Clock::time_point> ChangeSettler::due() const {
    if (!pending_) {
        return std::nullopt;
    }
    return std::min(last_ + settle_, first_ + 4 * settle_);
}

bool ChangeSettler::takeDue(Clock::time_point now) {
    if (!pending_ || now < *due()) {
        return false;
    }
    pending_ = false;
    return true;
}

std::string FileWatcher::folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Everything the loop touches: the inotify instance, the watches placed, the settling of
// changes. Held by the loop while it watches; only the loop's thread uses it after start.
class FileWatcher::Watch final : public Watcher, public std::enable_shared_from_this<Watch> {
  public:
    Watch(EventLoop& loop, int inotifyFd, std::string path, OnChange onChange,
          std::chrono::milliseconds settle)
        : loop_(loop),
          inotifyFd_(inotifyFd),
          path_(std::move(path)),
          onChange_(std::move(onChange)),
          settler_(settle) {
        arm();
    }
    ~Watch() override {
        if (inotifyFd_ >= 0) {
            ::close(inotifyFd_);
        }
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool watchesAnything() const noexcept { return !watches_.empty(); }

    void begin() {
        if (inotifyFd_ >= 0 && loop_.watchAllInput(inotifyFd_, this)) {
            loop_.hold(shared_from_this());
        }
    }
    void end() {
        if (inotifyFd_ < 0) {
            return;
        }
        platform::cancelTimer(timer_);
        ::close(inotifyFd_);  // leaves the epoll set with it
        inotifyFd_ = -1;
        loop_.forget(this);
    }

    void onReady(std::uint32_t /*events*/) override {
        const Drained drained = drainEvents();
        // A folder on the path that appears may already hold the file.
        const bool reached = drained.rearm && arm();
        if (drained.changed || reached) {
            settler_.changed(Clock::now());
            if (!timer_) {
                awaitDue();
            }
        }
    }
    void abandon() override { platform::cancelTimer(timer_); }

  private:
    // One folder watched: the file's own (name is the file's), or the nearest existing folder
    // above a missing one (name is the next folder down).
    struct Placed {
        int descriptor;
        std::string folder;
        std::string name;
        bool fileFolder;
    };
    // What the pending events ask for.
    struct Drained {
        bool changed = false;
        bool rearm = false;
    };

    // Places the watches for the path as it now is; true when a file folder is watched now that
    // was not before.
    bool arm();
    Drained drainEvents();

    // The settled report falls due at most four settle times after the first change, so one
    // timer at the due time, moved on as later changes push it, is enough.
    void awaitDue() {
        const auto due = settler_.due();
        if (!due) {
            return;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
        timer_ = loop_.scheduleAfter(std::max(left, std::chrono::milliseconds(0)),
                                     [weak = weak_from_this()] {
                                         if (const auto self = weak.lock()) {
                                             self->timer_.reset();
                                             self->fire();
                                         }
                                     });
    }
    void fire() {
        if (inotifyFd_ < 0) {
            return;
        }
        if (settler_.takeDue(Clock::now())) {
            onChange_();
        } else {
            awaitDue();
        }
    }
    EventLoop& loop_;
    int inotifyFd_;
    const std::string path_;
    const OnChange onChange_;
    ChangeSettler settler_;
    std::vector<Placed> watches_;
    std::shared_ptr<Timer> timer_;
};

FileWatcher::Started FileWatcher::start(EventLoop& loop, const std::string& path, OnChange onChange,
                                        std::chrono::milliseconds settle) {
    if (nameOf(path).empty()) {
        return {nullptr, std::make_error_code(std::errc::is_a_directory)};
    }
    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0) {
        return {nullptr, lastError()};
    }
    auto watch = std::make_shared<Watch>(loop, inotifyFd, path, std::move(onChange), settle);
    if (!watch->watchesAnything()) {
        // Not even "/" or "." could be watched: out of watches, or no permission.
        return {nullptr, std::make_error_code(std::errc::permission_denied)};
    }
    loop.dispatch([watch] { watch->begin(); });
    Started started;
    started.watcher = std::make_unique<FileWatcher>(PrivateTag{}, loop, std::move(watch));
    return started;
}

FileWatcher::~FileWatcher() {
    loop_.runAndWait([watch = watch_] { watch->end(); });
}

bool FileWatcher::Watch::arm() {
    // The path itself and, through any links, each file it points to.
    std::vector<std::string> files = {path_};
    for (int link = 0; link < kMaxLinks && isLink(files.back()); ++link) {
        auto target = linkTarget(files.back());
        if (target.empty()) {
            break;
        }
        files.push_back(std::move(target));
    }
    std::vector<Placed> placed;
    for (const auto& file : files) {
        std::string folder = folderOf(file);
        std::string below = nameOf(file);
        bool fileFolder = true;
        // The nearest folder that exists, and the name in it that leads on to the file.
        while (!isFolder(folder) && folder != "/" && folder != ".") {
            below = nameOf(folder);
            folder = folderOf(folder);
            fileFolder = false;
        }
        // Added to what the folder is already watched for: the path and a link's target may
        // share a folder in different roles.
        const int descriptor =
            ::inotify_add_watch(inotifyFd_, folder.c_str(),
                                (fileFolder ? kFileFolderEvents : kAncestorEvents) | IN_MASK_ADD);
        if (descriptor >= 0) {
            placed.push_back({descriptor, folder, below, fileFolder});
        }
    }
    // Watches no longer needed go only after the new ones are in place, so no event between
    // the two is missed.
    for (const auto& old : watches_) {
        const bool kept = std::any_of(placed.begin(), placed.end(), [&](const Placed& w) {
            return w.descriptor == old.descriptor;
        });
        if (!kept) {
            ::inotify_rm_watch(inotifyFd_, old.descriptor);
        }
    }
    const auto fileFolders = [](const std::vector<Placed>& watches) {
        return std::count_if(watches.begin(), watches.end(),
                             [](const Placed& w) { return w.fileFolder; });
    };
    const bool reached = fileFolders(placed) > fileFolders(watches_);
    watches_ = std::move(placed);
    return reached;
}

FileWatcher::Watch::Drained FileWatcher::Watch::drainEvents() {
    Drained drained;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        const ssize_t size = ::read(inotifyFd_, buffer, sizeof buffer);
        if (size <= 0) {
            // EAGAIN: drained. Anything else: nothing more to learn now; poll tells us again.
            return drained;
        }
        for (ssize_t offset = 0; offset < size;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const char* text = buffer + offset + sizeof(inotify_event);
            const std::string_view name(text, event.len > 0 ? ::strnlen(text, event.len) : 0);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                // Events were lost: the file may have changed among them.
                drained.changed = drained.rearm = true;
                continue;
            }
            if ((event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                drained.rearm = true;  // a watched folder went away
                continue;
            }
            for (const auto& watch : watches_) {
                if (watch.descriptor != event.wd || watch.name != name) {
                    continue;
                }
                // The next folder down appeared, or a link on the path changed.
                drained.rearm = true;
                if (!watch.fileFolder) {
                    continue;
                }
                // A file merely created is still being written; its close is the change. A link
                // is whole when made.
                const bool created = (event.mask & IN_CREATE) != 0;
                drained.changed =
                    drained.changed || !created || isLink(watch.folder + "/" + watch.name);
            }
        }
    }
}

}  // namespace sieveharbor::platform::linux_host
