// sieveharbor-proxy: the DNS-filtering proxy as a Linux service. Binds the listeners, hands every
// flow they make to the provider and serves signals on the main thread until told to stop.

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

#include "main/command_line.h"
#include "main/descriptor_limit.h"
#include "main/metrics_endpoint.h"
#include "main/passed_sockets.h"
#include "main/startup_messages.h"
#include "main/watched_flow.h"
#include "metrics/exposition.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/file_watcher.h"
#include "platform/linux/huge_pages.h"
#include "platform/linux/listener_flow.h"
#include "platform/linux/loop_connection.h"
#include "platform/linux/process_notification_center.h"
#include "platform/linux/sd_login_console_user.h"
#include "platform/linux/stderr_logger.h"
#include "platform/linux/tcp_listener.h"
#include "platform/posix/posix_file_system.h"
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
std::vector<std::shared_ptr<Listener>> listenOnEach(const service::Options& options, bool tcp,
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
        printError(service::listenFailureMessage(address, error, tcp));
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
                                                         const service::Options& options,
                                                         bool& failed) {
    std::vector<std::shared_ptr<ListenerFlow>> shared;
    auto listeners =
        listenOnEach<ListenerFlow>(options, false, failed, [&](const service::SocketAddress& a) {
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
            printError(service::adoptFailureMessage(fd, error));
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

using platform::linux_host::TcpListener;

// DNS over TCP where UDP is served: on every --listen address, or on the TCP sockets systemd
// passed. Each connection is a stream flow handed to the provider like any platform flow.
std::vector<std::shared_ptr<TcpListener>> startTcp(
    LoopPool& loops, const service::Options& options, const service::PassedSockets& passed,
    const std::shared_ptr<provider::DNSProxyProvider>& proxy, bool& failed) {
    if (!options.tcp) {
        return {};
    }
    TcpListener::OnFlow onFlow = [weak = std::weak_ptr(proxy)](auto flow) {
        if (const auto self = weak.lock()) {
            self->handleNewFlow(flow);
        }
    };
    if (!passed.datagram.empty()) {
        return adoptEach<TcpListener>(passed.stream, failed, [&](int fd) {
            auto adopted = TcpListener::adopt(loops, fd, onFlow);
            return std::pair(std::move(adopted.listener), adopted.error);
        });
    }
    return listenOnEach<TcpListener>(options, true, failed, [&](const service::SocketAddress& a) {
        auto started = TcpListener::listen(loops, a.address, a.port, onFlow);
        return std::pair(std::move(started.listener), started.error);
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

int run(const service::Options& options, const sigset_t& signals) {
    // Each upstream exchange holds a socket: the usual soft limit of 1,024 would not hold the
    // in-flight cap.
    const std::size_t descriptorLimit = service::raiseDescriptorLimit();
    auto loggers = std::make_shared<platform::linux_host::StderrLoggerFactory>(options.debug);
    const auto processLogger = loggers->makeLogger(kProcessLogSubsystem, provider::kLogCategory);
    if (processLogger->isDebugEnabled()) {
        processLogger->debug("first light");
    }

    const auto passed = service::takePassedSockets(options);
    for (const auto& notice : passed.notices) {
        printError(notice);
    }
    if (!passed.error.empty()) {
        printError(passed.error);
        if (passed.badUsage) {
            printError(service::usageHint());
            return kExitUsage;
        }
        return kExitFailed;
    }

    // One event loop per core the process may use serves every listener, flow and exchange.
    auto relay = std::make_shared<LoopPool>();
    bool failed = false;
    auto listeners = passed.datagram.empty() ? bindListeners(*relay, options, failed)
                                             : adoptListeners(*relay, passed.datagram, failed);
    if (failed) {
        return kExitFailed;
    }

    auto notifications = std::make_shared<platform::linux_host::ProcessNotificationCenter>();
    std::unique_ptr<platform::linux_host::FileWatcher> watcher;
    if (options.blocklist) {
        // Serving DNS does not wait for the list: its folder is watched for until it appears.
        const auto folder = platform::linux_host::FileWatcher::folderOf(*options.blocklist);
        if (!folderExists(folder)) {
            printError(service::missingFolderMessage(folder));
        }
        auto started = platform::linux_host::FileWatcher::start(
            *options.blocklist,
            [notifications] { notifications->post(provider::blocklistUpdatedNotificationName()); });
        if (!started.watcher) {
            printError(service::watchFailureMessage(
                platform::linux_host::FileWatcher::folderOf(*options.blocklist), started.error));
            return kExitFailed;
        }
        watcher = std::move(started.watcher);
    }

    provider::ProviderSettings settings;
    settings.fixedBlocklistPath = options.blocklist;
    settings.upstreamAddress = options.upstream.address;
    settings.forward.upstreamPort = options.upstream.port;
    const flow::StreamLimits tcpDefaults;
    const auto budget = service::budgetFor(descriptorLimit, service::openDescriptors(),
                                           settings.forward.maxInFlight,
                                           options.tcp ? tcpDefaults.maxConnections : 0);
    settings.streams.maxConnections = std::max<std::size_t>(budget.tcpConnections, 1);
    settings.forward.maxInFlight = budget.inFlight;
    if (budget.inFlight < flow::kMaxInFlight ||
        (options.tcp && budget.tcpConnections < tcpDefaults.maxConnections)) {
        printError(service::descriptorLimitMessage(descriptorLimit, budget.inFlight,
                                                   budget.tcpConnections));
    }
    settings.listPageAdvice = platform::linux_host::adviseHugePages;
    settings.onLoad = [debug = options.debug](const provider::LoadReport& report) {
        if (const auto line = service::loadMessage(report, debug)) {
            printError(*line);
        }
    };
    auto dnsProxy = provider::DNSProxyProvider::create(
        {relay, std::make_shared<platform::linux_host::LoopConnectionFactory>(), notifications,
         std::make_shared<platform::linux_host::SdLoginConsoleUser>(),
         std::make_shared<platform::posix::PosixFileSystem>(), loggers},
        std::move(settings));
    auto tcpListeners = startTcp(*relay, options, passed, dnsProxy, failed);
    if (failed) {
        return kExitFailed;
    }
    std::unique_ptr<service::MetricsEndpoint> metricsEndpoint;
    if (options.metrics) {
        auto started =
            service::MetricsEndpoint::start(*options.metrics, [weak = std::weak_ptr(dnsProxy)] {
                const auto proxy = weak.lock();
                return proxy ? metrics::renderExposition(proxy->metrics()) : std::string();
            });
        if (!started.endpoint) {
            printError(service::metricsFailureMessage(*options.metrics, started.error));
            return kExitFailed;
        }
        metricsEndpoint = std::move(started.endpoint);
    }
    dnsProxy->startProxyWithOptions([](std::optional<std::error_code>) {});
    // The provider gets watched stand-ins; this function keeps the listeners themselves.
    for (const auto& listener : listeners) {
        dnsProxy->handleNewFlow(
            std::make_shared<service::WatchedFlow>(listener, reportListenerClosed));
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
    for (const auto& listener : tcpListeners) {
        listener->stop();
    }
    for (const auto& listener : listeners) {
        listener->stop();  // drops the pending read, which holds the flow
    }
    relay->stop();
    tcpListeners.clear();
    listeners.clear();
    dnsProxy.reset();
    notifications.reset();
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
    const auto parsed = service::parseCommandLine(args);
    if (!parsed.options) {
        printError(parsed.error);
        printError(service::usageHint());
        return kExitUsage;
    }
    if (parsed.options->help) {
        std::cout << service::usageText();
        return std::cout.flush() ? kExitStopped : kExitFailed;
    }
    if (parsed.options->version) {
        std::cout << service::kProgramName << " " << SIEVEHARBOR_VERSION << "\n";
        return std::cout.flush() ? kExitStopped : kExitFailed;
    }
    if (const auto loop =
            service::upstreamLoopError(*parsed.options, service::listMachineAddresses())) {
        printError(*loop);
        printError(service::usageHint());
        return kExitUsage;
    }
    return run(*parsed.options, signals);
}
