#include "platform/apple/network_states.h"

#include <string>
#include <utility>

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

class AppProxyFlowCategory final : public std::error_category {
  public:
    const char* name() const noexcept override { return "NEAppProxyErrorDomain"; }
    std::string message(int code) const override {
        return "app proxy flow error " + std::to_string(code);
    }
};

const std::error_category& appProxyFlowCategory() {
    static const AppProxyFlowCategory category;
    return category;
}

}  // namespace

FlowError flowErrorFrom(AppProxyFlowError error) {
    return {static_cast<int>(error), appProxyFlowCategory()};
}

std::optional<AppProxyFlowError> appProxyFlowErrorOf(const std::optional<FlowError>& error) {
    using enum AppProxyFlowError;
    if (!error) {
        return std::nullopt;
    }
    if (error->category() == appProxyFlowCategory() && error->value() >= 1 &&
        error->value() <= static_cast<int>(datagramTooLarge)) {
        return static_cast<AppProxyFlowError>(error->value());
    }
    const std::pair<std::errc, AppProxyFlowError> meanings[] = {
        {std::errc::connection_reset, peerReset},
        {std::errc::host_unreachable, hostUnreachable},
        {std::errc::network_unreachable, hostUnreachable},
        {std::errc::invalid_argument, invalidArgument},
        {std::errc::connection_aborted, aborted},
        {std::errc::operation_canceled, aborted},
        {std::errc::connection_refused, refused},
        {std::errc::permission_denied, refused},
        {std::errc::operation_not_permitted, refused},
        {std::errc::timed_out, timedOut},
        {std::errc::not_connected, notConnected},
        {std::errc::message_size, datagramTooLarge},
    };
    for (const auto& [posix, meaning] : meanings) {
        if (*error == posix) {
            return meaning;
        }
    }
    return internal;
}

std::optional<CertificateError> certificateErrorOf(int status) {
    // Security's OSStatus values (SecBase.h) for a certificate the handshake refused, ours or
    // the resolver's word on it.
    switch (status) {
        case -9807:  // errSSLXCertChainInvalid
        case -9812:  // errSSLUnknownRootCert
        case -9813:  // errSSLNoRootCert
        case -9831:  // errSSLPeerUnknownCA
            return CertificateError::untrusted;
        case -9843:  // errSSLHostNameMismatch
            return CertificateError::nameMismatch;
        case -9814:  // errSSLCertExpired
        case -9828:  // errSSLPeerCertExpired
            return CertificateError::expired;
        case -9815:  // errSSLCertNotYetValid
            return CertificateError::notYetValid;
        case -9808:  // errSSLBadCert
        case -9825:  // errSSLPeerBadCert
        case -9829:  // errSSLPeerCertUnknown
            return CertificateError::other;
        default:
            return std::nullopt;
    }
}

std::optional<ConnectionError> errorFrom(std::optional<NetworkErrorDomain> domain, int code) {
    if (!domain) {
        return std::nullopt;
    }
    if (*domain == NetworkErrorDomain::posix) {
        return ConnectionError(code, std::system_category());
    }
    if (*domain == NetworkErrorDomain::tls) {
        if (const auto certificate = certificateErrorOf(code)) {
            return make_error_code(*certificate);
        }
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
