#include "lists/list_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "blocklist/blocklist_text.h"
#include "text/line_splitter.h"

namespace sieveharbor::lists {

namespace {

constexpr std::size_t kReadBytes = std::size_t{1} << 20;
constexpr mode_t kNewFileMode = 0644;

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// Closes a descriptor on every path out.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now; close reports a write that failed late (NFS, a full disk).
    std::error_code reset() {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) != 0 ? lastError() : std::error_code();
    }

  private:
    int fd_;
};

// The file a path names once symbolic links are followed, or the path itself when it does not
// exist yet.
std::string resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> real(::realpath(path.c_str(), nullptr), &::free);
    return real ? std::string(real.get()) : path;
}

}  // namespace

std::error_code readInto(const std::string& path, ListBuilder& builder, bool& full) {
    const bool standardInput = path == "-";
    const Descriptor owned(standardInput ? -1
                                         : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    const int fd = standardInput ? STDIN_FILENO : owned.get();
    if (fd < 0) {
        return lastError();
    }
    const std::unique_ptr<char[]> buffer(new char[kReadBytes]);
    text::LineSplitter lines(blocklist::BlocklistParser::kMaxLineBytes,
                             text::LineSplitter::Ends::lineFeed);
    full = false;
    const auto addLine = [&](std::string_view line) {
        full = !builder.addLine(line);
        return !full;
    };
    const auto addTooLong = [&] {
        builder.addLineTooLong();
        return true;
    };
    for (;;) {
        const ssize_t got = ::read(fd, buffer.get(), kReadBytes);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return lastError();
        }
        if (got == 0) {
            break;
        }
        if (!lines.feed(std::string_view(buffer.get(), static_cast<std::size_t>(got)), addLine,
                        addTooLong)) {
            return {};
        }
    }
    lines.finish(addLine);
    return {};
}

std::error_code writeAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t wrote = ::write(fd, content.data(), content.size());
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            return lastError();
        }
        content.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return {};
}

std::error_code writeAtomically(const std::string& path, std::string_view content) {
    const std::string target = resolved(path);
    struct stat old {};
    const bool replaces = ::stat(target.c_str(), &old) == 0;
    const mode_t mode = replaces ? (old.st_mode & 07777) : kNewFileMode;
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    // Hidden, and named after the list, so that a stray one is plain to see.
    std::string temporary = (slash == std::string::npos ? "" : folder) + "." + base + ".XXXXXX";
    Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) {
        return lastError();
    }
    std::error_code error = writeAll(file.get(), content);
    // The owner and group too, as far as this user may give them: a list readable by the
    // service's group only must stay readable by it. Before the mode, which a change of owner
    // may clear bits of.
    if (replaces && ::fchown(file.get(), old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] const int ignored =
            ::fchown(file.get(), static_cast<uid_t>(-1), old.st_gid);
    }
    if (!error && ::fchmod(file.get(), mode) != 0) {
        error = lastError();
    }
    if (!error && ::fsync(file.get()) != 0) {
        error = lastError();
    }
    if (const auto closed = file.reset(); !error) {
        error = closed;
    }
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) {
        error = lastError();
    }
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename itself reaches the disk with the folder.
    const Descriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) {
        ::fsync(directory.get());
    }
    return {};
}

}  // namespace sieveharbor::lists
