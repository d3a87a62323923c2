#include "main/passed_sockets.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fakes/loopback.h"

namespace sieveharbor::service {
namespace {

// Where the test lays its sockets out side by side, as systemd does from fd 3 on; far above
// anything the test process has open.
constexpr int kFirst = 700;

enum class Kind { udp4, udp6, tcp, tcpListening, unixDatagram };

int makeSocket(Kind kind) {
    if (kind == Kind::tcpListening) {
        const int fd = fakes::boundSocket(fakes::Family::v4, SOCK_STREAM);
        ::listen(fd, 1);
        return fd;
    }
    const int domain = kind == Kind::udp6           ? AF_INET6
                       : kind == Kind::unixDatagram ? AF_UNIX
                                                    : AF_INET;
    return ::socket(domain, (kind == Kind::tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
}

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

Options options(bool listenGiven) {
    std::vector<std::string_view> args;
    if (listenGiven) {
        args = {"--listen", "127.0.0.1:5353"};
    }
    return *parseCommandLine(args).options;
}

TEST(PassedSockets, udp_and_listening_tcp_are_kept_the_rest_closed_and_a_mix_with_listen_refused) {
    struct Row {
        const char* what;
        std::vector<Kind> passed;
        bool listenGiven;
        std::vector<int> datagram;  // fds, from kFirst on
        std::vector<int> stream;
        const char* notice;  // part of the one notice expected, if any
        const char* error;   // part of the error, if any
        bool badUsage;
    };
    constexpr int a = kFirst;
    constexpr int b = kFirst + 1;
    using enum Kind;
    // clang-format off
    const Row rows[] = {
        {"none leaves --listen in force", {}, true, {}, {}, nullptr, nullptr, false},
        {"udp on both families", {udp4, udp6}, false, {a, b}, {}, nullptr, nullptr, false},
        {"udp and listening tcp", {tcpListening, udp4}, false, {b}, {a}, nullptr, nullptr, false},
        {"a stream socket not listening", {tcp, udp4}, false, {b}, {}, "closed socket 700 passed by systemd: it is neither", nullptr, false},
        {"no udp socket at all", {unixDatagram, tcpListening}, false, {}, {}, "neither an IPv4 or IPv6 UDP socket", "systemd passed 2 socket(s), none of them", false},
        {"--listen with passed sockets", {udp4, tcpListening}, true, {}, {}, nullptr, "--listen cannot be used with sockets passed by systemd", true},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        for (std::size_t i = 0; i < row.passed.size(); ++i) {
            const int fd = kFirst + static_cast<int>(i);
            ASSERT_FALSE(isOpen(fd));
            const int made = makeSocket(row.passed[i]);
            ASSERT_GE(made, 0);
            ASSERT_EQ(::dup2(made, fd), fd);
            ::close(made);
        }

        const auto sorted = sortPassedSockets(options(row.listenGiven), kFirst,
                                              static_cast<int>(row.passed.size()));

        EXPECT_EQ(sorted.datagram, row.datagram);
        EXPECT_EQ(sorted.stream, row.stream);
        ASSERT_EQ(sorted.notices.size(), row.notice ? 1u : 0u);
        if (row.notice) {
            EXPECT_TRUE(sorted.notices[0].starts_with("sieveharbor-proxy: ")) << sorted.notices[0];
            EXPECT_NE(sorted.notices[0].find(row.notice), std::string::npos) << sorted.notices[0];
        }
        EXPECT_NE(sorted.error.find(row.error ? row.error : ""), std::string::npos) << sorted.error;
        EXPECT_EQ(sorted.error.empty(), !row.error);
        EXPECT_EQ(sorted.badUsage, row.badUsage);
        // Whatever is not handed back is closed; what is handed back is still open.
        for (std::size_t i = 0; i < row.passed.size(); ++i) {
            const int fd = kFirst + static_cast<int>(i);
            const bool handedBack =
                std::ranges::count(sorted.datagram, fd) + std::ranges::count(sorted.stream, fd) > 0;
            EXPECT_EQ(isOpen(fd), handedBack) << "fd " << fd;
            ::close(fd);
        }
    }
}

TEST(PassedSockets, unreadable_variables_are_an_error_and_are_cleared) {
    ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
    ::setenv("LISTEN_FDS", "three", 1);
    const auto taken = takePassedSockets(options(false));
    EXPECT_TRUE(taken.datagram.empty());
    EXPECT_NE(taken.error.find("cannot take the sockets passed by systemd (LISTEN_FDS)"),
              std::string::npos)
        << taken.error;
    EXPECT_FALSE(taken.badUsage);
    EXPECT_EQ(std::getenv("LISTEN_FDS"), nullptr);
    EXPECT_EQ(std::getenv("LISTEN_PID"), nullptr);
}

}  // namespace
}  // namespace sieveharbor::service
