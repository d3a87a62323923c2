#pragma once

#include <asio/error.hpp>
#include <system_error>

namespace sieveharbor::platform::linux_host {

// Asio reports errno values in a category of its own; callers compare with std::errc, so every
// error leaving the Linux host is restated in the system category (same value, same message).
inline std::error_code systemError(const std::error_code& error) {
    if (error.category() == asio::error::get_system_category()) {
        return {error.value(), std::system_category()};
    }
    return error;
}

inline std::error_code systemError(int number) {
    return {number, std::system_category()};
}

}  // namespace sieveharbor::platform::linux_host
