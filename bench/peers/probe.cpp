// Waits until a DNS server on 127.0.0.1:PORT answers NAME the way the benchmark expects, asking
// every millisecond, and prints the CLOCK_REALTIME time of that first good answer in seconds.
//   bench-probe PORT NAME blocked|answered TIMEOUT_SECONDS
// blocked: an A answer of 0.0.0.0; answered: any reply. Exit 1 on timeout.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> query(const std::string& name, std::uint16_t id) {
    std::vector<std::uint8_t> q{static_cast<std::uint8_t>(id >> 8),
                                static_cast<std::uint8_t>(id),
                                0x01,
                                0x00,
                                0,
                                1,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0};
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto dot = name.find('.', start);
        const auto end = dot == std::string::npos ? name.size() : dot;
        q.push_back(static_cast<std::uint8_t>(end - start));
        q.insert(q.end(), name.begin() + static_cast<long>(start),
                 name.begin() + static_cast<long>(end));
        start = end + 1;
    }
    q.insert(q.end(), {0, 0, 1, 0, 1});
    return q;
}

// The reply carries an A record whose data is 0.0.0.0: good enough for a server whose only
// zero answers are the blocked ones.
bool isBlockedAnswer(const std::uint8_t* r, std::size_t n) {
    if (n < 12 || (r[3] & 0x0F) != 0 || (r[6] == 0 && r[7] == 0)) {
        return false;
    }
    for (std::size_t i = 12; i + 14 <= n; ++i) {
        // TYPE A, CLASS IN, any TTL, RDLENGTH 4, 0.0.0.0
        if (r[i] == 0 && r[i + 1] == 1 && r[i + 2] == 0 && r[i + 3] == 1 && r[i + 8] == 0 &&
            r[i + 9] == 4 && r[i + 10] == 0 && r[i + 11] == 0 && r[i + 12] == 0 && r[i + 13] == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: bench-probe PORT NAME blocked|answered TIMEOUT_SECONDS\n", stderr);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string name = argv[2];
    const bool wantBlocked = std::strcmp(argv[3], "blocked") == 0;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(std::atof(argv[4]) * 1000));
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        std::perror("bench-probe");
        return 1;
    }
    std::uint16_t id = 1;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto q = query(name, id++);
        ::send(fd, q.data(), q.size(), 0);
        pollfd p{fd, POLLIN, 0};
        // Connection refused (not yet bound) shows as an error on the next call: just ask again.
        while (::poll(&p, 1, 1) > 0) {
            std::uint8_t reply[4096];
            const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
            if (n <= 0) {
                break;
            }
            if (!wantBlocked || isBlockedAnswer(reply, static_cast<std::size_t>(n))) {
                timespec now{};
                clock_gettime(CLOCK_REALTIME, &now);
                std::printf("%ld.%09ld\n", static_cast<long>(now.tv_sec), now.tv_nsec);
                return 0;
            }
        }
    }
    return 1;
}
