#include "main/passed_sockets.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace sieveharbor::service {
namespace {

// Where the test lays its sockets out side by side, as systemd does from fd 3 on; far above
// anything the test process has open.
constexpr int kFirst = 700;

enum class Kind { udp4, udp6, tcp, tcpListening, unixDatagram };

int makeSocket(Kind kind) {
    switch (kind) {
        case Kind::udp4:
            return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        case Kind::udp6:
            return ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        case Kind::tcp:
            return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        case Kind::tcpListening: {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::listen(fd, 1);
            return fd;
        }
        case Kind::unixDatagram:
            return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    return -1;
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

struct Case {
    const char* name;
    std::vector<Kind> passed;
    bool listenGiven;
    std::vector<int> datagram;  // offsets from kFirst
    std::vector<int> stream;
    std::vector<std::string> noticeParts;
    std::string errorPart;  // empty: no error
    bool badUsage;
};

class PassedSocketSorting : public testing::TestWithParam<Case> {};

TEST_P(PassedSocketSorting, keeps_udp_closes_the_rest_and_refuses_a_mix_with_listen) {
    const Case& c = GetParam();
    for (std::size_t i = 0; i < c.passed.size(); ++i) {
        const int fd = kFirst + static_cast<int>(i);
        ASSERT_FALSE(isOpen(fd));
        const int made = makeSocket(c.passed[i]);
        ASSERT_GE(made, 0);
        ASSERT_EQ(::dup2(made, fd), fd);
        ::close(made);
    }

    const auto sorted =
        sortPassedSockets(options(c.listenGiven), kFirst, static_cast<int>(c.passed.size()));

    std::vector<int> expected;
    for (const int offset : c.datagram) {
        expected.push_back(kFirst + offset);
    }
    EXPECT_EQ(sorted.datagram, expected);
    std::vector<int> expectedStream;
    for (const int offset : c.stream) {
        expectedStream.push_back(kFirst + offset);
    }
    EXPECT_EQ(sorted.stream, expectedStream);
    ASSERT_EQ(sorted.notices.size(), c.noticeParts.size());
    for (std::size_t i = 0; i < c.noticeParts.size(); ++i) {
        EXPECT_NE(sorted.notices[i].find(c.noticeParts[i]), std::string::npos) << sorted.notices[i];
        EXPECT_TRUE(sorted.notices[i].starts_with("sieveharbor-proxy: ")) << sorted.notices[i];
    }
    if (c.errorPart.empty()) {
        EXPECT_EQ(sorted.error, "");
    } else {
        EXPECT_NE(sorted.error.find(c.errorPart), std::string::npos) << sorted.error;
    }
    EXPECT_EQ(sorted.badUsage, c.badUsage);
    // Whatever is not handed back is closed; what is handed back is still open.
    for (std::size_t i = 0; i < c.passed.size(); ++i) {
        const int fd = kFirst + static_cast<int>(i);
        const bool handedBack =
            std::find(sorted.datagram.begin(), sorted.datagram.end(), fd) !=
                sorted.datagram.end() ||
            std::find(sorted.stream.begin(), sorted.stream.end(), fd) != sorted.stream.end();
        EXPECT_EQ(isOpen(fd), handedBack) << "fd " << fd;
        ::close(fd);
    }
}

INSTANTIATE_TEST_SUITE_P(
    PassedSockets, PassedSocketSorting,
    testing::Values(
        Case{"none_leaves_listen_in_force", {}, true, {}, {}, {}, "", false},
        Case{"udp_on_both_families", {Kind::udp4, Kind::udp6}, false, {0, 1}, {}, {}, "", false},
        Case{"udp_and_listening_tcp",
             {Kind::tcpListening, Kind::udp4},
             false,
             {1},
             {0},
             {},
             "",
             false},
        Case{"a_stream_socket_not_listening_is_closed_with_a_notice",
             {Kind::tcp, Kind::udp4},
             false,
             {1},
             {},
             {"closed socket 700 passed by systemd: it is neither"},
             "",
             false},
        Case{"no_udp_socket_at_all",
             {Kind::unixDatagram, Kind::tcpListening},
             false,
             {},
             {},
             {"neither an IPv4 or IPv6 UDP socket"},
             "systemd passed 2 socket(s), none of them",
             false},
        Case{"listen_with_passed_sockets",
             {Kind::udp4, Kind::tcpListening},
             true,
             {},
             {},
             {},
             "--listen cannot be used with sockets passed by systemd",
             true}),
    [](const auto& info) { return std::string(info.param.name); });

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
