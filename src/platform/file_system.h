#pragma once

#include <optional>
#include <string>

namespace sieveharbor::platform {

// The two file operations the blocklist loader needs. Called from any thread, synchronously.
class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // True when anything (file, folder, ...) exists at the path.
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // The whole file as text, or nothing when it cannot be opened or read, or when any byte of it
    // is not well-formed UTF-8: text is all or nothing.
    virtual std::optional<std::string> readUtf8File(const std::string& path) = 0;
};

}  // namespace sieveharbor::platform
