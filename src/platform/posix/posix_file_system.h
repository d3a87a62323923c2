#pragma once

#include <cstddef>

#include "platform/file_system.h"

namespace sieveharbor::platform::posix {

// The file operations of the blocklist loader on POSIX calls.
//
// Only regular files are read: a FIFO or a device at the path (a mistake, or /dev/zero) would
// otherwise block the reload or never end, so it reads as nothing.
class PosixFileSystem final : public platform::FileSystem {
  public:
    // Follows symbolic links: a dangling link does not exist.
    bool fileExistsAtPath(const std::string& path) override;
    std::optional<std::string> readUtf8File(const std::string& path) override;
    // Reads and checks the file a buffer at a time; no piece is longer than kPieceBytes. The
    // read is complete only when the file opened is still the one at the path and its size and
    // modification time are as they were at the start: a writer that truncates and then writes
    // slowly is never read half done.
    ReadStatus readUtf8FileInPieces(const std::string& path, const TextPieces& consume) override;

    static constexpr std::size_t kPieceBytes = std::size_t{256} * 1024;
};

}  // namespace sieveharbor::platform::posix
