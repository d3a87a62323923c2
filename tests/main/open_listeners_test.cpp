#include "main/open_listeners.h"

#include <gtest/gtest.h>

namespace sieveharbor::service {
namespace {

using Listener = std::shared_ptr<int>;
using Result = std::pair<Listener, std::error_code>;

// Start-up opens every address it was given or fails with one line; only a default IPv6 address
// that the machine cannot have is left out.
TEST(OpenListeners, every_address_opens_or_start_up_fails_with_one_line) {
    const auto refusing = [](std::errc refusal, bool v6Only) {
        return [=](const platform::SocketAddress& address) -> Result {
            if (address.isV6() || !v6Only) {
                return {nullptr, std::make_error_code(refusal)};
            }
            return {std::make_shared<int>(address.port()), {}};
        };
    };
    struct Row {
        const char* what;
        std::vector<std::string_view> args;
        std::errc refusal;
        bool v6Only;
        std::size_t opened;
        const char* failure;  // a piece of the line, or null
    };
    // clang-format off
    const Row rows[] = {
        {"defaults, no IPv6 here", {}, std::errc::address_family_not_supported, true, 1, nullptr},
        {"defaults, no ::1 here", {}, std::errc::address_not_available, true, 1, nullptr},
        {"defaults, ::1 taken", {}, std::errc::address_in_use, true, 0, "[::1]:53"},
        {"IPv6 asked for", {"--listen", "[::1]:5300"}, std::errc::address_family_not_supported, true, 0, "cannot listen for TCP on [::1]:5300"},
        {"IPv4 refused", {}, std::errc::permission_denied, false, 0, "127.0.0.1:53"},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto options = *parseCommandLine(row.args).options;
        const auto opened = listenOnEach<int>(options, true, refusing(row.refusal, row.v6Only));
        EXPECT_EQ(opened.listeners.size(), row.opened);
        EXPECT_EQ(opened.failure.has_value(), row.failure != nullptr);
        if (row.failure) {
            EXPECT_NE(opened.failure->find(row.failure), std::string::npos) << *opened.failure;
        }
    }
}

TEST(OpenListeners, a_passed_socket_that_cannot_be_served_fails_start_up) {
    const auto opened = adoptEach<int>(std::vector<int>{3, 4, 5}, [](int fd) -> Result {
        if (fd == 4) {
            return {nullptr, std::make_error_code(std::errc::wrong_protocol_type)};
        }
        return {std::make_shared<int>(fd), {}};
    });
    EXPECT_TRUE(opened.listeners.empty()) << "none kept";
    ASSERT_TRUE(opened.failure);
    EXPECT_NE(opened.failure->find("socket 4 passed by systemd"), std::string::npos);
    EXPECT_EQ(adoptEach<int>(std::vector<int>{3, 4},
                             [](int fd) {
                                 return Result{std::make_shared<int>(fd), {}};
                             })
                  .listeners.size(),
              2u);
}

}  // namespace
}  // namespace sieveharbor::service
