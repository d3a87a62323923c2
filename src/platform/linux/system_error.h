#pragma once

#include <cerrno>
#include <system_error>

namespace sieveharbor::platform::linux_host {

// An errno value as an error code in the system category, so callers compare with std::errc and
// errno never crosses a layer.
inline std::error_code systemError(int number) {
    return {number, std::system_category()};
}

// A non-blocking call that did nothing for now: try again once the descriptor is ready.
inline bool wouldBlock(int number) {
    return number == EAGAIN || number == EWOULDBLOCK || number == EINTR;
}

}  // namespace sieveharbor::platform::linux_host
