#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace sieveharbor::fakes {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = "/tmp/sieveharbor-test-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Empty when the folder could not be made.
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace sieveharbor::fakes
