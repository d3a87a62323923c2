// sieveharbor-proxy: the DNS-filtering proxy as a Linux service. Binds the listeners, runs the
// provider on them and serves signals on the main thread until told to stop.

#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/command_line.h"
#include "host/descriptor_limit.h"
#include "host/file_watcher.h"
#include "host/metrics_endpoint.h"
#include "host/passed_sockets.h"
#include "host/posix_file_system.h"
#include "host/process_notification_center.h"
#include "host/sd_login_console_user.h"
#include "host/startup_messages.h"
#include "host/stderr_logger.h"
#include "host/watched_flow.h"
#include "metrics/exposition.h"
#include "platform/linux/asio_pool.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/listener_flow.h"
#include "platform/linux/loop_connection.h"
#include "platform/linux/tcp_server.h"
#include "provider/dns_proxy_provider.h"

namespace {

using namespace sieveharbor;

constexpr std::string_view kProcessLogSubsystem = "com.brackenmoor.sieveharbor.network-extension";

// Sent by the process to itself when a listener closes; only the main thread takes it.
constexpr int kListenerClosedSignal = SIGUSR1;

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, kListenerClosedSignal}) {
        sigaddset(&set, signal);
    }
    return set;
}

void printError(const std::string& line) {
    std::fputs((line + "\n").c_str(), stderr);
}

void reportListenerClosed() {
    ::sigqueue(::getpid(), kListenerClosedSignal, sigval{});
}

// Opens a listener of one transport on every --listen address; open(address) gives the
// listener, or nothing and why. A default IPv6 address on a machine without IPv6 is left out, so
// the defaults work everywhere; an address the user asked for must bind.
template <class Listener, class Open>
std::vector<std::shared_ptr<Listener>> listenOnEach(const host::Options& options, bool tcp,
                                                    bool& failed, Open open) {
    std::vector<std::shared_ptr<Listener>> listeners;
    for (const auto& address : options.listen) {
        auto [listener, error] = open(address);
        if (listener) {
            listeners.push_back(std::move(listener));
            continue;
        }
        const bool noIpv6 = error == std::errc::address_family_not_supported ||
                            error == std::errc::address_not_available;
        if (options.defaultListen && address.isV6() && noIpv6) {
            continue;
        }
        printError(host::listenFailureMessage(address, error, tcp));
        failed = true;
        return {};
    }
    return listeners;
}

using platform::linux_host::ListenerFlow;
using platform::linux_host::LoopPool;

// One UDP socket per relay loop on every --listen address (SO_REUSEPORT), so that the kernel
// spreads the queries, and the exchanges they start, over the loops. A plain socket is bound
// first, alone: a port another program holds, even another of these proxies, is refused as it
// would be without the sharing.
std::vector<std::shared_ptr<ListenerFlow>> bindListeners(LoopPool& loops,
                                                         const host::Options& options,
                                                         bool& failed) {
    std::vector<std::shared_ptr<ListenerFlow>> shared;
    auto listeners =
        listenOnEach<ListenerFlow>(options, false, failed, [&](const host::SocketAddress& a) {
            if (loops.loopCount() == 1) {
                auto bound = ListenerFlow::bind(loops.loop(0), a.address, a.port);
                return std::pair(std::move(bound.flow), bound.error);
            }
            if (const auto taken = ListenerFlow::probe(a.address, a.port)) {
                return std::pair(std::shared_ptr<ListenerFlow>(), taken);
            }
            std::shared_ptr<ListenerFlow> head;
            for (std::size_t i = 0; i < loops.loopCount(); ++i) {
                auto bound = ListenerFlow::bind(loops.loop(i), a.address, a.port, true);
                if (!bound.flow) {
                    return std::pair(std::shared_ptr<ListenerFlow>(), bound.error);
                }
                if (head) {
                    shared.push_back(std::move(bound.flow));
                } else {
                    head = std::move(bound.flow);
                }
            }
            return std::pair(std::move(head), std::error_code());
        });
    listeners.insert(listeners.end(), shared.begin(), shared.end());
    return listeners;
}

// Serves sockets systemd passed (socket activation) in place of binding any; adopt(fd) gives the
// listener, or nothing and why.
template <class Listener, class Adopt>
std::vector<std::shared_ptr<Listener>> adoptEach(const std::vector<int>& fds, bool& failed,
                                                 Adopt adopt) {
    std::vector<std::shared_ptr<Listener>> listeners;
    for (const int fd : fds) {
        auto [listener, error] = adopt(fd);
        if (!listener) {
            printError(host::adoptFailureMessage(fd, error));
            failed = true;
            return {};
        }
        listeners.push_back(std::move(listener));
    }
    return listeners;
}

std::vector<std::shared_ptr<ListenerFlow>> adoptListeners(LoopPool& loops,
                                                          const std::vector<int>& fds,
                                                          bool& failed) {
    return adoptEach<ListenerFlow>(fds, failed, [&](int fd) {
        auto adopted = ListenerFlow::adopt(loops.nextLoop(), fd);
        return std::pair(std::move(adopted.flow), adopted.error);
    });
}

using platform::linux_host::TcpServer;

// DNS over TCP where UDP is served: on every --listen address, or on the TCP sockets systemd
// passed. Messages are judged as datagrams are, against the provider's list of the moment.
std::vector<std::shared_ptr<TcpServer>> startTcp(
    platform::linux_host::AsioPool& queue, const host::Options& options,
    const host::PassedSockets& passed, const std::shared_ptr<provider::DNSProxyProvider>& proxy,
    std::size_t maxConnections, bool& failed) {
    if (!options.tcp) {
        return {};
    }
    platform::linux_host::Judge judge = [weak = std::weak_ptr(proxy)](dns::ByteView message) {
        const auto self = weak.lock();
        if (!self) {
            return flow::Judgement{flow::Verdict::drop, std::nullopt};
        }
        const auto snapshot = self->blockedDomains.snapshot();
        return flow::judgeMessage(message, *snapshot);
    };
    const platform::linux_host::TcpUpstream upstream{
        {asio::ip::make_address(options.upstream.address), options.upstream.port},
        proxy->forwarding().options().replyTimeout,
        proxy->forwarding().limit(),
        proxy->forwarding().counters()};
    platform::linux_host::TcpLimits limits;
    limits.maxConnections = maxConnections;
    if (!passed.datagram.empty()) {
        return adoptEach<TcpServer>(passed.stream, failed, [&](int fd) {
            auto adopted = TcpServer::adopt(queue.context(), fd, judge, upstream, limits);
            return std::pair(std::move(adopted.server), adopted.error);
        });
    }
    return listenOnEach<TcpServer>(options, true, failed, [&](const host::SocketAddress& a) {
        auto started =
            TcpServer::listen(queue.context(), a.address, a.port, judge, upstream, limits);
        return std::pair(std::move(started.server), started.error);
    });
}

// Serves signals until the service must end; returns the exit status.
int serveSignals(const sigset_t& signals, platform::NotificationCenter& notifications) {
    for (;;) {
        siginfo_t info{};
        const int signal = ::sigwaitinfo(&signals, &info);
        if (signal == SIGHUP) {
            notifications.post(provider::blocklistUpdatedNotificationName());
        } else if (signal == SIGTERM || signal == SIGINT) {
            return kExitStopped;
        } else if (signal == kListenerClosedSignal && info.si_code == SI_QUEUE &&
                   info.si_pid == ::getpid()) {
            return kExitFailed;
        }
        // Anything else (EINTR, a stray SIGUSR1 from another process) is ignored.
    }
}

bool folderExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int run(const host::Options& options, const sigset_t& signals) {
    // Each upstream exchange holds a socket: the usual soft limit of 1,024 would not hold the
    // in-flight cap.
    const std::size_t descriptorLimit = host::raiseDescriptorLimit();
    auto loggers = std::make_shared<host::StderrLoggerFactory>(options.debug);
    const auto processLogger = loggers->makeLogger(kProcessLogSubsystem, provider::kLogCategory);
    if (processLogger->isDebugEnabled()) {
        processLogger->debug("first light");
    }

    const auto passed = host::takePassedSockets(options);
    for (const auto& notice : passed.notices) {
        printError(notice);
    }
    if (!passed.error.empty()) {
        printError(passed.error);
        if (passed.badUsage) {
            printError(host::usageHint());
            return kExitUsage;
        }
        return kExitFailed;
    }

    // TCP runs on Asio; UDP listeners and the relay on event loops of their own, one per core
    // the process may use.
    auto queue = std::make_shared<platform::linux_host::AsioPool>();
    auto relay = std::make_shared<LoopPool>();
    bool failed = false;
    auto listeners = passed.datagram.empty() ? bindListeners(*relay, options, failed)
                                             : adoptListeners(*relay, passed.datagram, failed);
    if (failed) {
        return kExitFailed;
    }

    auto notifications = std::make_shared<host::ProcessNotificationCenter>();
    std::unique_ptr<host::FileWatcher> watcher;
    if (options.blocklist) {
        // Serving DNS does not wait for the list: its folder is watched for until it appears.
        const auto folder = host::FileWatcher::folderOf(*options.blocklist);
        if (!folderExists(folder)) {
            printError(host::missingFolderMessage(folder));
        }
        auto started = host::FileWatcher::start(*options.blocklist, [notifications] {
            notifications->post(provider::blocklistUpdatedNotificationName());
        });
        if (!started.watcher) {
            printError(host::watchFailureMessage(host::FileWatcher::folderOf(*options.blocklist),
                                                 started.error));
            return kExitFailed;
        }
        watcher = std::move(started.watcher);
    }

    provider::ProviderSettings settings;
    settings.fixedBlocklistPath = options.blocklist;
    settings.upstreamAddress = options.upstream.address;
    settings.forward.upstreamPort = options.upstream.port;
    const platform::linux_host::TcpLimits tcpDefaults;
    const auto budget =
        host::budgetFor(descriptorLimit, host::openDescriptors(), settings.forward.maxInFlight,
                        options.tcp ? tcpDefaults.maxConnections : 0);
    settings.forward.maxInFlight = budget.inFlight;
    if (budget.inFlight < flow::kMaxInFlight ||
        (options.tcp && budget.tcpConnections < tcpDefaults.maxConnections)) {
        printError(
            host::descriptorLimitMessage(descriptorLimit, budget.inFlight, budget.tcpConnections));
    }
    settings.onLoad = [debug = options.debug](const provider::LoadReport& report) {
        if (const auto line = host::loadMessage(report, debug)) {
            printError(*line);
        }
    };
    auto dnsProxy = provider::DNSProxyProvider::create(
        {relay, std::make_shared<platform::linux_host::LoopConnectionFactory>(), notifications,
         std::make_shared<host::SdLoginConsoleUser>(), std::make_shared<host::PosixFileSystem>(),
         loggers},
        std::move(settings));
    auto tcpServers = startTcp(*queue, options, passed, dnsProxy, budget.tcpConnections, failed);
    if (failed) {
        return kExitFailed;
    }
    std::unique_ptr<host::MetricsEndpoint> metricsEndpoint;
    if (options.metrics) {
        auto started =
            host::MetricsEndpoint::start(*options.metrics, [weak = std::weak_ptr(dnsProxy)] {
                const auto proxy = weak.lock();
                return proxy ? metrics::renderExposition(proxy->metrics()) : std::string();
            });
        if (!started.endpoint) {
            printError(host::metricsFailureMessage(*options.metrics, started.error));
            return kExitFailed;
        }
        metricsEndpoint = std::move(started.endpoint);
    }
    dnsProxy->startProxyWithOptions(nullptr, [](std::optional<std::error_code>) {});
    // The provider gets watched stand-ins; this function keeps the listeners themselves.
    for (const auto& listener : listeners) {
        dnsProxy->handleNewFlow(
            std::make_shared<host::WatchedFlow>(listener, reportListenerClosed));
    }

    if (std::getenv("NOTIFY_SOCKET") != nullptr) {
        ::sd_notify(0, "READY=1");
    }
    const int status = serveSignals(signals, *notifications);
    if (std::getenv("NOTIFY_SOCKET") != nullptr) {
        ::sd_notify(0, "STOPPING=1");
    }

    // Orderly stop: no more reloads, no more flow work, then every thread joined.
    dnsProxy->stopProxyWithReason(0, [] {});
    metricsEndpoint.reset();
    watcher.reset();
    for (const auto& server : tcpServers) {
        server->stop();
    }
    queue->stop();
    for (const auto& listener : listeners) {
        listener->stop();  // drops the pending read, which holds the flow
    }
    relay->stop();
    tcpServers.clear();
    listeners.clear();
    dnsProxy.reset();
    notifications.reset();
    queue.reset();
    relay.reset();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread exists, so every thread inherits the mask and only the main
    // thread's sigwaitinfo ever takes these signals.
    const sigset_t signals = handledSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto parsed = host::parseCommandLine(args);
    if (!parsed.options) {
        printError(parsed.error);
        printError(host::usageHint());
        return kExitUsage;
    }
    if (parsed.options->help) {
        std::cout << host::usageText();
        return std::cout.flush() ? kExitStopped : kExitFailed;
    }
    if (parsed.options->version) {
        std::cout << host::kProgramName << " " << SIEVEHARBOR_VERSION << "\n";
        return std::cout.flush() ? kExitStopped : kExitFailed;
    }
    if (const auto loop = host::upstreamLoopError(*parsed.options, host::listMachineAddresses())) {
        printError(*loop);
        printError(host::usageHint());
        return kExitUsage;
    }
    return run(*parsed.options, signals);
}
