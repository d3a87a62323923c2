#pragma once

#include <system_error>

namespace sieveharbor::platform::linux_host {

// An errno value as an error code in the system category, so callers compare with std::errc and
// errno never crosses a layer.
inline std::error_code systemError(int number) {
    return {number, std::system_category()};
}

}  // namespace sieveharbor::platform::linux_host
