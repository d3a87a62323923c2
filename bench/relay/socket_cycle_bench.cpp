// The life of one relayed exchange's socket, without the rest of the relay: make a UDP socket,
// connect it to the upstream, send a query, wait for the reply, read it, close the socket. Run
// with a window of exchanges in flight, through epoll (what the relay does today) and through
// io_uring (one linked chain per exchange on a registered file slot: close, socket, connect,
// send, receive), against an upstream on its own thread that echoes each query back as a reply.
// Reports exchanges per second and the CPU each exchange cost this process, the upstream's
// thread left out.
//
//   sieveharbor-socket-cycle-bench [--seconds S] [--window N] [--mode epoll|io_uring|both]
#include <arpa/inet.h>
#include <liburing.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// "x.example" A, recursion desired.
constexpr std::array<unsigned char, 27> kQuery = {0x12, 0x34, 1,   0,   0,   1, 0,   0,   0,
                                                  0,    0,    0,   1,   'x', 7, 'e', 'x', 'a',
                                                  'm',  'p',  'l', 'e', 0,   0, 1,   0,   1};
constexpr std::size_t kReplyBuffer = 4096;

[[noreturn]] void die(const char* what, int error) {
    std::fprintf(stderr, "socket-cycle-bench: %s: %s\n", what,
                 std::error_code(error, std::generic_category()).message().c_str());
    std::_Exit(1);
}

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double processCpu() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto add = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return add(usage.ru_utime) + add(usage.ru_stime);
}

// Answers every datagram with itself, QR set, until stopped.
class Upstream {
  public:
    Upstream() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const timeval tick{0, 100'000};  // so that stop() is seen
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0) {
            die("upstream socket", errno);
        }
        address_ = address;
        thread_ = std::thread([this] { serve(); });
        pthread_getcpuclockid(thread_.native_handle(), &clock_);
    }
    ~Upstream() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    Upstream(const Upstream&) = delete;
    Upstream& operator=(const Upstream&) = delete;

    const sockaddr_in& address() const { return address_; }
    double cpu() const { return seconds(clock_); }

  private:
    void serve() {
        constexpr unsigned kBatch = 64;
        std::vector<std::array<unsigned char, 512>> buffers(kBatch);
        std::array<sockaddr_in, kBatch> senders{};
        std::array<iovec, kBatch> iov{};
        std::array<mmsghdr, kBatch> messages{};
        while (!stop_) {
            for (unsigned i = 0; i < kBatch; ++i) {
                iov[i] = {buffers[i].data(), buffers[i].size()};
                messages[i].msg_hdr = {};
                messages[i].msg_hdr.msg_iov = &iov[i];
                messages[i].msg_hdr.msg_iovlen = 1;
                messages[i].msg_hdr.msg_name = &senders[i];
                messages[i].msg_hdr.msg_namelen = sizeof senders[i];
            }
            const int count = ::recvmmsg(fd_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
            for (int i = 0; i < count; ++i) {
                buffers[i][2] |= 0x80;
                iov[i].iov_len = messages[i].msg_len;
            }
            if (count > 0) {
                ::sendmmsg(fd_, messages.data(), static_cast<unsigned>(count), 0);
            }
        }
    }

    int fd_ = -1;
    sockaddr_in address_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    clockid_t clock_{};
};

struct Settings {
    double seconds = 2.0;
    int window = 32;
};

// The relay's way: a non-blocking connected socket, one one-shot epoll registration for the
// reply, close when it came.
long runEpoll(const sockaddr_in& upstream, const Settings& settings) {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    const auto start = [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLONESHOT;
        event.data.fd = fd;
        if (fd < 0 ||
            ::connect(fd, reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream) != 0 ||
            ::send(fd, kQuery.data(), kQuery.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 ||
            ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            die("epoll exchange", errno);
        }
    };
    for (int i = 0; i < settings.window; ++i) {
        start();
    }
    long exchanges = 0;
    std::array<unsigned char, kReplyBuffer> reply{};
    std::array<epoll_event, 64> events{};
    const auto end = Clock::now() + std::chrono::duration<double>(settings.seconds);
    while (Clock::now() < end) {
        const int count = ::epoll_wait(epoll, events.data(), events.size(), 1000);
        for (int i = 0; i < count; ++i) {
            const int fd = events[i].data.fd;
            if (::recv(fd, reply.data(), reply.size(), MSG_DONTWAIT) > 0) {
                ++exchanges;
            }
            ::close(fd);
            start();
        }
    }
    ::close(epoll);
    return exchanges;
}

// One chain per exchange on file slot `slot`: close what the slot held (skipped for the first),
// make the socket into it, connect, send, receive. Only the receive reports; a failed link
// cancels the rest of its chain, and the receive then reports the cancellation.
long runIoUring(const sockaddr_in& upstream, const Settings& settings) {
    io_uring ring{};
    io_uring_params params{};
    params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    const auto window = static_cast<unsigned>(settings.window);
    if (const int error = io_uring_queue_init_params(window * 8, &ring, &params); error < 0) {
        die("io_uring_queue_init_params", -error);
    }
    if (const int error = io_uring_register_files_sparse(&ring, window); error < 0) {
        die("io_uring_register_files_sparse", -error);
    }
    std::vector<std::array<unsigned char, kReplyBuffer>> replies(window);
    // Every link but the receive is marked, so that a failed one's report is told apart.
    constexpr std::uint64_t kLink = ~std::uint64_t{0};
    const auto chain = [&](unsigned slot, bool closeFirst) {
        const auto next = [&] {
            io_uring_sqe* sqe = io_uring_get_sqe(&ring);
            if (sqe == nullptr) {
                io_uring_submit(&ring);
                sqe = io_uring_get_sqe(&ring);
            }
            return sqe;
        };
        // After the prep, which clears the flags.
        const auto link = [&](io_uring_sqe* sqe, std::uint8_t flags) {
            sqe->flags |= IOSQE_IO_LINK | IOSQE_CQE_SKIP_SUCCESS | flags;
            io_uring_sqe_set_data64(sqe, kLink);
        };
        const auto fd = static_cast<int>(slot);
        io_uring_sqe* sqe = nullptr;
        if (closeFirst) {
            io_uring_prep_close_direct(sqe = next(), slot);
            link(sqe, 0);
        }
        io_uring_prep_socket_direct(sqe = next(), AF_INET, SOCK_DGRAM, 0, slot, 0);
        link(sqe, 0);
        io_uring_prep_connect(sqe = next(), fd, reinterpret_cast<const sockaddr*>(&upstream),
                              sizeof upstream);
        link(sqe, IOSQE_FIXED_FILE);
        io_uring_prep_send(sqe = next(), fd, kQuery.data(), kQuery.size(), MSG_NOSIGNAL);
        link(sqe, IOSQE_FIXED_FILE);
        io_uring_prep_recv(sqe = next(), fd, replies[slot].data(), kReplyBuffer, 0);
        sqe->flags |= IOSQE_FIXED_FILE;
        io_uring_sqe_set_data64(sqe, slot);
    };
    for (unsigned slot = 0; slot < window; ++slot) {
        chain(slot, false);
    }
    long exchanges = 0;
    long failures = 0;
    std::vector<unsigned> ended;
    const auto end = Clock::now() + std::chrono::duration<double>(settings.seconds);
    while (Clock::now() < end) {
        if (const int error = io_uring_submit_and_wait(&ring, 1); error < 0 && error != -EINTR) {
            die("io_uring_submit_and_wait", -error);
        }
        io_uring_cqe* cqe = nullptr;
        unsigned head = 0;
        unsigned seen = 0;
        ended.clear();
        io_uring_for_each_cqe(&ring, head, cqe) {
            ++seen;
            const std::uint64_t data = io_uring_cqe_get_data64(cqe);
            if (data == kLink) {
                continue;  // its chain's receive reports the cancellation
            }
            (cqe->res > 0 ? exchanges : failures) += 1;
            ended.push_back(static_cast<unsigned>(data));
        }
        io_uring_cq_advance(&ring, seen);
        for (const unsigned slot : ended) {
            chain(slot, true);
        }
    }
    io_uring_queue_exit(&ring);
    if (failures > 0) {
        std::fprintf(stderr, "socket-cycle-bench: %ld io_uring exchanges failed\n", failures);
    }
    return exchanges;
}

void measure(const char* name, long (*run)(const sockaddr_in&, const Settings&),
             const Settings& settings) {
    const Upstream upstream;
    const double cpuBefore = processCpu() - upstream.cpu();
    const auto started = Clock::now();
    const long exchanges = run(upstream.address(), settings);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    const double cpu = processCpu() - upstream.cpu() - cpuBefore;
    std::printf("%-9s %9.0f exchanges/s   %6.2f us CPU per exchange   (%ld exchanges)\n", name,
                static_cast<double>(exchanges) / wall,
                exchanges > 0 ? cpu / static_cast<double>(exchanges) * 1e6 : 0.0, exchanges);
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::string_view mode = "both";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            settings.seconds = std::atof(argv[++i]);
        } else if (arg == "--window" && i + 1 < argc) {
            settings.window = std::atoi(argv[++i]);
        } else if (arg == "--mode" && i + 1 < argc) {
            mode = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--seconds S] [--window N] [--mode epoll|io_uring|both]\n",
                         argv[0]);
            return 2;
        }
    }
    if (settings.seconds <= 0 || settings.window < 1 || settings.window > 4096 ||
        (mode != "epoll" && mode != "io_uring" && mode != "both")) {
        std::fprintf(stderr,
                     "--seconds must be positive, --window between 1 and 4096, --mode epoll, "
                     "io_uring or both\n");
        return 2;
    }
    std::printf("socket cycle over loopback: window %d, %.1f s per mode\n", settings.window,
                settings.seconds);
    if (mode != "io_uring") {
        measure("epoll", runEpoll, settings);
    }
    if (mode != "epoll") {
        measure("io_uring", runIoUring, settings);
    }
    return 0;
}
