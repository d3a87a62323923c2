// A DNS-over-TLS resolver stand-in for the end-to-end tests and the benchmarks:
//
//   tls_stub --cert PEM --key PEM [--address A] [--port P] [--close-after N]
//            [--close-unanswered-every K] [--log FILE] [--log-queries]
//
// Listens on A (127.0.0.1 unless given; port P, else one the kernel picks, printed on stdout),
// serves each connection on a thread of its own, and answers every framed query the way the UDP
// stub does (one recognisable A record; "big.*" A queries 40 of them). --close-after N closes a
// connection after N answers, as a resolver with a limit on queries does;
// --close-unanswered-every K has every K-th connection read one query and close without
// answering. SIGUSR1 stalls the connections open then (they read what comes and answer none of
// it, and are not closed, as a path that silently drops does), while new ones are served;
// SIGUSR2 lets them answer again. --log writes a line per connection as its handshake ends
// ("connection full" or "connection resumed"), and with --log-queries one per query as it is read
// ("query NAME"), for the test to count. Until SIGTERM or SIGINT.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/question.h"
#include "dns/tcp_framing.h"
#include "recognisable_answer.h"

namespace {

using sieveharbor::dns::Datagram;

// Connections up to this one (counted from 1 as accepted) are stalled; 0: none.
std::atomic<int> stalledUpTo{0};
std::atomic<int> acceptedSoFar{0};
std::mutex logMutex;
FILE* logFile = nullptr;
bool logQueries = false;

void logLine(const std::string& line) {
    if (logFile == nullptr) {
        return;
    }
    const std::lock_guard lock(logMutex);
    std::fprintf(logFile, "%s\n", line.c_str());
    std::fflush(logFile);
}

std::string nameOf(const Datagram& query) {
    std::string name;
    const auto question = sieveharbor::dns::readQuestion(query, name);
    return std::string(question.name);
}

// Reads all of `bytes` or fails; waits while stalled.
bool readFull(SSL* ssl, std::uint8_t* into, std::size_t bytes) {
    std::size_t got = 0;
    while (got < bytes) {
        std::size_t now = 0;
        if (SSL_read_ex(ssl, into + got, bytes - got, &now) != 1) {
            return false;
        }
        got += now;
    }
    return true;
}

void serve(int fd, SSL_CTX* context, int index, int closeAfter, bool closeUnanswered) {
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        logLine(SSL_session_reused(ssl) == 1 ? "connection resumed" : "connection full");
        int answered = 0;
        for (;;) {
            std::uint8_t length[2];
            if (!readFull(ssl, length, 2)) {
                break;
            }
            Datagram query((length[0] << 8) | length[1]);
            if (!readFull(ssl, query.data(), query.size())) {
                break;
            }
            if (logQueries) {
                logLine("query " + nameOf(query));
            }
            if (index <= stalledUpTo.load()) {
                continue;  // read and dropped: the connection is held, answering nothing
            }
            if (closeUnanswered) {
                break;
            }
            const auto reply = sieveharbor::e2e::recognisableAnswer(query, true);
            if (!reply) {
                continue;
            }
            const auto framed = sieveharbor::dns::frameMessage(*reply);
            std::size_t written = 0;
            if (!framed || SSL_write_ex(ssl, framed->data(), framed->size(), &written) != 1) {
                break;
            }
            if (closeAfter > 0 && ++answered == closeAfter) {
                break;
            }
        }
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ::close(fd);
    ERR_clear_error();
}

}  // namespace

int main(int argc, char** argv) {
    std::string cert;
    std::string key;
    int port = 0;
    int closeAfter = 0;
    int closeUnansweredEvery = 0;
    std::string address = "127.0.0.1";
    for (int i = 1; i < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--log-queries") {
            logQueries = true;
            --i;
            continue;
        }
        if (i + 1 == argc) {
            break;
        }
        if (flag == "--address") {
            address = argv[i + 1];
        } else if (flag == "--cert") {
            cert = argv[i + 1];
        } else if (flag == "--key") {
            key = argv[i + 1];
        } else if (flag == "--port") {
            port = std::atoi(argv[i + 1]);
        } else if (flag == "--close-after") {
            closeAfter = std::atoi(argv[i + 1]);
        } else if (flag == "--close-unanswered-every") {
            closeUnansweredEvery = std::atoi(argv[i + 1]);
        } else if (flag == "--log") {
            logFile = std::fopen(argv[i + 1], "w");
        }
    }
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        std::fputs("tls stub: cannot load the certificate or key\n", stderr);
        return 1;
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        std::fputs("tls stub: --address must be a numeric IPv4 address\n", stderr);
        return 2;
    }
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof local;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(listener, 1024) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        std::fputs("tls stub: cannot listen there\n", stderr);
        return 1;
    }
    std::printf("%u\n", ntohs(local.sin_port));
    std::fflush(stdout);

    sigset_t handled;
    sigemptyset(&handled);
    for (const int signal : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
        sigaddset(&handled, signal);
    }
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    std::thread([listener, context, closeAfter, closeUnansweredEvery] {
        for (;;) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            const int index = ++acceptedSoFar;
            const bool unanswered =
                closeUnansweredEvery > 0 && (index - 1) % closeUnansweredEvery == 0;
            std::thread(serve, fd, context, index, closeAfter, unanswered).detach();
        }
    }).detach();
    for (;;) {
        int signal = 0;
        sigwait(&handled, &signal);
        if (signal == SIGUSR1 || signal == SIGUSR2) {
            stalledUpTo = signal == SIGUSR1 ? acceptedSoFar.load() : 0;
            continue;
        }
        return 0;
    }
}
