#include "platform/posix/posix_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "text/text.h"

namespace sieveharbor::platform::posix {

namespace {

// Closes the descriptor on every path out of readUtf8File.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The length of `bytes` without a last character that is cut short (at most three bytes of a
// sequence whose lead byte announces more). Whether the bytes are well-formed is checked apart.
std::size_t wholeCharacters(std::string_view bytes) {
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const char c = bytes[bytes.size() - back];
        if (text::isContinuationByte(c)) {
            continue;  // its lead byte is further back
        }
        const auto byte = static_cast<unsigned char>(c);
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? bytes.size() - back : bytes.size();
    }
    return bytes.size();
}

// When the file was last changed, to the nanosecond: st_mtim in POSIX and on Linux,
// st_mtimespec on macOS.
template <class Stat>
const timespec& modified(const Stat& info) {
    if constexpr (requires { info.st_mtim; }) {
        return info.st_mtim;
    } else {
        return info.st_mtimespec;
    }
}

// The same file, unchanged: same device and inode, size and modification time.
bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           modified(a).tv_sec == modified(b).tv_sec && modified(a).tv_nsec == modified(b).tv_nsec;
}

}  // namespace

bool PosixFileSystem::fileExistsAtPath(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::optional<std::string> PosixFileSystem::readUtf8File(const std::string& path) {
    std::string text;
    const auto status =
        readUtf8FileInPieces(path, [&text](std::string_view piece, std::size_t expectedBytes) {
            if (text.empty()) {
                text.reserve(expectedBytes);
            }
            text.append(piece);
            return true;
        });
    if (status != ReadStatus::complete) {
        return std::nullopt;
    }
    return text;
}

PosixFileSystem::ReadStatus PosixFileSystem::readUtf8FileInPieces(const std::string& path,
                                                                  const TextPieces& consume) {
    // O_NONBLOCK: opening a FIFO with no writer must not hang; it is refused below anyway.
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return ReadStatus::unreadable;
    }
    // The size is a hint only: the file may grow or shrink while it is read.
    const auto expectedBytes = static_cast<std::size_t>(info.st_size);
    const std::unique_ptr<char[]> buffer(new char[kPieceBytes]);
    std::size_t held = 0;  // bytes of a character cut off by the last read, moved to the front
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.get() + held, kPieceBytes - held);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return ReadStatus::unreadable;
        }
        if (got == 0) {
            struct stat after {};
            struct stat atPath {};
            if (::fstat(file.get(), &after) != 0 || ::stat(path.c_str(), &atPath) != 0 ||
                !sameVersion(info, after) || !sameVersion(info, atPath)) {
                return ReadStatus::changedWhileRead;
            }
            // A character still cut off at the end of the file is ill-formed.
            return held == 0 ? ReadStatus::complete : ReadStatus::notUtf8;
        }
        const std::size_t filled = held + static_cast<std::size_t>(got);
        const std::size_t whole = wholeCharacters({buffer.get(), filled});
        const std::string_view piece(buffer.get(), whole);
        if (!text::isWellFormedUtf8(piece)) {
            return ReadStatus::notUtf8;
        }
        if (!consume(piece, expectedBytes)) {
            return ReadStatus::stopped;
        }
        held = filled - whole;
        std::memmove(buffer.get(), buffer.get() + whole, held);
    }
}

}  // namespace sieveharbor::platform::posix
