#include "platform/apple/network_states.h"

#include <gtest/gtest.h>

namespace sieveharbor::platform::apple {
namespace {

using Kind = ConnectionState::Kind;

TEST(NetworkStates, map_onto_the_connection_seam) {
    const auto refused = errorFrom(NetworkErrorDomain::posix, ECONNREFUSED);
    struct Row {
        NetworkState state;
        std::optional<ConnectionError> error;
        Kind kind;
        std::optional<ConnectionError> expectedError;
    };
    const Row rows[] = {
        {NetworkState::invalid, std::nullopt, Kind::setup, std::nullopt},
        {NetworkState::preparing, std::nullopt, Kind::preparing, std::nullopt},
        {NetworkState::ready, std::nullopt, Kind::ready, std::nullopt},
        {NetworkState::cancelled, std::nullopt, Kind::cancelled, std::nullopt},
        {NetworkState::waiting, refused, Kind::waiting, refused},
        {NetworkState::failed, refused, Kind::failed, refused},
        // The seam promises an error with both; the framework may give none.
        {NetworkState::waiting, std::nullopt, Kind::waiting,
         std::make_error_code(std::errc::io_error)},
        {NetworkState::failed, std::nullopt, Kind::failed,
         std::make_error_code(std::errc::io_error)},
    };
    for (const auto& row : rows) {
        const auto state = stateFrom(row.state, row.error);
        EXPECT_EQ(state.kind, row.kind) << static_cast<int>(row.state);
        EXPECT_EQ(state.error, row.expectedError) << static_cast<int>(row.state);
    }
}

// A POSIX error keeps its number where the exchange looks for a descriptor shortage; a refused
// certificate is the seam's certificate error; others stay errors, in a category of their own.
TEST(NetworkStates, errors_keep_what_the_exchange_tells_apart) {
    EXPECT_EQ(errorFrom(std::nullopt, EMFILE), std::nullopt);
    EXPECT_EQ(*errorFrom(NetworkErrorDomain::posix, EMFILE), std::errc::too_many_files_open);
    const auto dns = errorFrom(NetworkErrorDomain::dns, -65554);
    ASSERT_TRUE(dns);
    EXPECT_EQ(dns->value(), -65554);
    EXPECT_NE(*dns, std::errc::too_many_files_open);
    EXPECT_NE(dns->category(), std::system_category());
    // A refused certificate is told as one; any other TLS failure stays the framework's.
    EXPECT_EQ(*errorFrom(NetworkErrorDomain::tls, -9843),
              make_error_code(CertificateError::nameMismatch));
    EXPECT_EQ(*errorFrom(NetworkErrorDomain::tls, -9812),
              make_error_code(CertificateError::untrusted));
    EXPECT_EQ(*errorFrom(NetworkErrorDomain::tls, -9814),
              make_error_code(CertificateError::expired));
    EXPECT_NE(errorFrom(NetworkErrorDomain::tls, -9806)->category(), certificateErrorCategory());
    EXPECT_NE(errorFrom(NetworkErrorDomain::dns, -9843)->category(), certificateErrorCategory());
}

// A flow is closed with nothing or an error of the framework's flow domain: its own come back
// as they were, POSIX ones by meaning, anything else as internal.
TEST(NetworkStates, a_flow_is_closed_with_a_flow_error_or_none) {
    using enum AppProxyFlowError;
    const std::pair<std::optional<FlowError>, std::optional<AppProxyFlowError>> rows[] = {
        {std::nullopt, std::nullopt},
        {flowErrorFrom(peerReset), peerReset},
        {flowErrorFrom(datagramTooLarge), datagramTooLarge},
        {FlowError(0, flowErrorFrom(peerReset).category()), internal},
        {std::make_error_code(std::errc::connection_reset), peerReset},
        {std::make_error_code(std::errc::timed_out), timedOut},
        {std::make_error_code(std::errc::connection_refused), refused},
        {std::make_error_code(std::errc::operation_canceled), aborted},
        {std::make_error_code(std::errc::io_error), internal},
        {*errorFrom(NetworkErrorDomain::dns, -65554), internal},
    };
    for (const auto& [error, expected] : rows) {
        EXPECT_EQ(appProxyFlowErrorOf(error), expected) << (error ? error->message() : "none");
    }
}

}  // namespace
}  // namespace sieveharbor::platform::apple
