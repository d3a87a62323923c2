#include "platform/apple/network_states.h"

#include <string>

namespace sieveharbor::platform::apple {

namespace {

class NetworkCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "Network framework"; }
    // DNS errors are negative (DNSServiceErrorType), TLS ones OSStatus values.
    std::string message(int code) const override {
        return "Network framework error " + std::to_string(code);
    }
};

const std::error_category& networkCategory() {
    static const NetworkCategory category;
    return category;
}

}  // namespace

std::optional<ConnectionError> errorFrom(std::optional<NetworkErrorDomain> domain, int code) {
    if (!domain) {
        return std::nullopt;
    }
    if (*domain == NetworkErrorDomain::posix) {
        return ConnectionError(code, std::system_category());
    }
    return ConnectionError(code, networkCategory());
}

ConnectionState stateFrom(NetworkState state, std::optional<ConnectionError> error) {
    const auto orGeneric = [&error] {
        return error.value_or(std::make_error_code(std::errc::io_error));
    };
    switch (state) {
        case NetworkState::invalid:
            return ConnectionState::setup();
        case NetworkState::waiting:
            return ConnectionState::waiting(orGeneric());
        case NetworkState::preparing:
            return ConnectionState::preparing();
        case NetworkState::ready:
            return ConnectionState::ready();
        case NetworkState::failed:
            return ConnectionState::failed(orGeneric());
        case NetworkState::cancelled:
            return ConnectionState::cancelled();
    }
    return ConnectionState::failed(orGeneric());
}

}  // namespace sieveharbor::platform::apple
