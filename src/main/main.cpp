// sieveharbor-proxy: the DNS-filtering proxy as a Linux service. Binds the listeners, hands every
// flow they make to the provider and serves signals on the main thread until told to stop.

#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "main/command_line.h"
#include "main/metrics_endpoint.h"
#include "main/open_listeners.h"
#include "main/passed_sockets.h"
#include "main/startup_messages.h"
#include "main/watched_flow.h"
#include "metrics/exposition.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/file_watcher.h"
#include "platform/linux/huge_pages.h"
#include "platform/linux/listener_flow.h"
#include "platform/linux/loop_connection.h"
#include "platform/linux/low_priority.h"
#include "platform/linux/process_notification_center.h"
#include "platform/linux/sd_login_console_user.h"
#include "platform/linux/stderr_logger.h"
#include "platform/linux/tcp_listener.h"
#include "platform/posix/descriptor_limit.h"
#include "platform/posix/posix_file_system.h"
#include "provider/dns_proxy_provider.h"

namespace {

using namespace sieveharbor;

// The service's own channel: the extension's process name is the macOS host's, not this one's.
constexpr std::string_view kProcessLogSubsystem = "com.brackenmoor.sieveharbor.service";

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// SIGTERM and SIGINT stop the service, SIGHUP reloads the blocklist.
sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&set, signal);
    }
    return set;
}

void printError(const std::string& line) {
    std::fputs((line + "\n").c_str(), stderr);
}

// The service's control loop, run by the main thread once everything has started: the handled
// signals, the list file's watch, the console user's monitor and the notification centre's
// deliveries all run here, so that every reload, whatever set it off, runs on this one thread,
// one at a time, at its low priority. Shared with whatever reports that the service must end.
struct Control {
    platform::linux_host::EventLoop loop;
    std::atomic<int> status{kExitStopped};

    // From any thread: the service ends with `exit`. A listener that closed ends it, since it
    // would otherwise answer nothing there for ever.
    void end(int exit) {
        status.store(exit);
        loop.stop();
    }
};

// The handled signals, read from a signalfd on the control loop: SIGHUP posts the reload
// notification, the others end the service.
class SignalWatch final : public platform::linux_host::Watcher,
                          public std::enable_shared_from_this<SignalWatch> {
  public:
    // The signals must be blocked in every thread already. Nothing, with the reason said, when
    // the kernel gives no descriptor.
    static std::shared_ptr<SignalWatch> open(const sigset_t& signals, Control& control) {
        const int fd = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
        if (fd < 0) {
            printError(std::string(service::kProgramName) +
                       ": cannot wait for signals: " + std::generic_category().message(errno));
            return nullptr;
        }
        return std::make_shared<SignalWatch>(fd, control);
    }

    SignalWatch(int fd, Control& control) : fd_(fd), control_(control) {}
    ~SignalWatch() override { ::close(fd_); }
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    // Before the loop runs; the loop then holds the watch.
    void begin(std::shared_ptr<platform::NotificationCenter> notifications) {
        notifications_ = std::move(notifications);
        control_.loop.post([self = shared_from_this()] {
            self->control_.loop.watchAllInput(self->fd_, self.get());
            self->control_.loop.hold(self);
        });
    }

    void onReady(std::uint32_t /*events*/) override {
        signalfd_siginfo info{};
        while (::read(fd_, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo != SIGHUP) {
                control_.end(kExitStopped);
                return;
            }
            notifications_->post(provider::blocklistUpdatedNotificationName());
        }
    }
    void abandon() override { notifications_.reset(); }

  private:
    const int fd_;
    Control& control_;
    std::shared_ptr<platform::NotificationCenter> notifications_;
};

using platform::linux_host::ListenerFlow;
using platform::linux_host::LoopPool;

// One UDP socket per relay loop on every --listen address (SO_REUSEPORT), so that the kernel
// spreads the queries, and the exchanges they start, over the loops. A plain socket is bound
// first, alone: a port another program holds, even another of these proxies, is refused as it
// would be without the sharing.
service::Opened<ListenerFlow> bindListeners(LoopPool& loops, const service::Options& options) {
    std::vector<std::shared_ptr<ListenerFlow>> shared;
    auto opened =
        service::listenOnEach<ListenerFlow>(options, false, [&](const platform::SocketAddress& a) {
            if (loops.loopCount() == 1) {
                auto bound = ListenerFlow::bind(loops.loop(0), a);
                return std::pair(std::move(bound.flow), bound.error);
            }
            if (const auto taken = ListenerFlow::probe(a)) {
                return std::pair(std::shared_ptr<ListenerFlow>(), taken);
            }
            std::shared_ptr<ListenerFlow> head;
            for (std::size_t i = 0; i < loops.loopCount(); ++i) {
                auto bound = ListenerFlow::bind(loops.loop(i), a, true);
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
    if (!opened.failure) {
        opened.listeners.insert(opened.listeners.end(), shared.begin(), shared.end());
    }
    return opened;
}

service::Opened<ListenerFlow> adoptListeners(LoopPool& loops, const std::vector<int>& fds) {
    return service::adoptEach<ListenerFlow>(fds, [&](int fd) {
        auto adopted = ListenerFlow::adopt(loops.nextLoop(), fd);
        return std::pair(std::move(adopted.flow), adopted.error);
    });
}

using platform::linux_host::TcpListener;

// DNS over TCP where UDP is served: on every --listen address, or on the TCP sockets systemd
// passed. Each connection is a stream flow handed to the provider like any platform flow.
service::Opened<TcpListener> startTcp(LoopPool& loops, const service::Options& options,
                                      const service::PassedSockets& passed,
                                      const std::shared_ptr<provider::DNSProxyProvider>& proxy) {
    if (!options.tcp) {
        return {};
    }
    TcpListener::OnFlow onFlow = [weak = std::weak_ptr(proxy)](auto flow) {
        if (const auto self = weak.lock()) {
            self->handleNewFlow(flow);
        }
    };
    if (!passed.datagram.empty()) {
        return service::adoptEach<TcpListener>(passed.stream, [&](int fd) {
            auto adopted = TcpListener::adopt(loops, fd, onFlow);
            return std::pair(std::move(adopted.listener), adopted.error);
        });
    }
    return service::listenOnEach<TcpListener>(options, true, [&](const platform::SocketAddress& a) {
        auto started = TcpListener::listen(loops, a, onFlow);
        return std::pair(std::move(started.listener), started.error);
    });
}

bool folderExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::shared_ptr<platform::linux_host::StderrLoggerFactory> startLogging(bool debug) {
    auto loggers = std::make_shared<platform::linux_host::StderrLoggerFactory>(debug);
    const auto processLogger = loggers->makeLogger(kProcessLogSubsystem, provider::kLogCategory);
    if (processLogger->isDebugEnabled()) {
        processLogger->debug("first light");
    }
    return loggers;
}

// Nothing when the sockets systemd passed, if any, can be served; otherwise the exit status.
std::optional<int> refusePassedSockets(const service::PassedSockets& passed) {
    for (const auto& notice : passed.notices) {
        printError(notice);
    }
    if (passed.error.empty()) {
        return std::nullopt;
    }
    printError(passed.error);
    if (passed.badUsage) {
        printError(service::usageHint());
        return kExitUsage;
    }
    return kExitFailed;
}

// What the service runs, in the order it starts: on a failed start the members end in the
// reverse order; stop() is the orderly end.
struct Service {
    // First, so it outlives everything that runs on it.
    std::shared_ptr<Control> control;
    std::shared_ptr<SignalWatch> signals;
    std::shared_ptr<LoopPool> relay;
    std::vector<std::shared_ptr<ListenerFlow>> listeners;
    std::shared_ptr<platform::linux_host::ProcessNotificationCenter> notifications;
    std::unique_ptr<platform::linux_host::FileWatcher> watcher;
    std::shared_ptr<provider::DNSProxyProvider> proxy;
    std::vector<std::shared_ptr<TcpListener>> tcpListeners;
    std::unique_ptr<service::MetricsEndpoint> metrics;
};

// Serving DNS does not wait for the list: its folder is watched for until it appears.
bool watchBlocklist(const service::Options& options, Service& service) {
    using platform::linux_host::FileWatcher;
    if (!options.blocklist) {
        return true;
    }
    const auto folder = FileWatcher::folderOf(*options.blocklist);
    if (!folderExists(folder)) {
        printError(service::missingFolderMessage(folder));
    }
    auto started = FileWatcher::start(
        service.control->loop, *options.blocklist, [notifications = service.notifications] {
            notifications->post(provider::blocklistUpdatedNotificationName());
        });
    if (!started.watcher) {
        printError(service::watchFailureMessage(folder, started.error));
        return false;
    }
    service.watcher = std::move(started.watcher);
    return true;
}

// Each upstream exchange and each TCP client holds a descriptor: the caps are lowered to what
// the limit leaves beside the descriptors open now, and the user is told.
void fitDescriptorLimit(provider::ProviderSettings& settings, bool tcp,
                        std::size_t descriptorLimit) {
    std::size_t connections = tcp ? settings.streams.maxConnections : 0;
    const bool lowered =
        platform::posix::fitCaps(descriptorLimit, settings.forward.maxInFlight, connections);
    settings.streams.maxConnections = std::max<std::size_t>(connections, 1);
    if (lowered) {
        printError(service::descriptorLimitMessage(descriptorLimit, settings.forward.maxInFlight,
                                                   connections));
    }
}

provider::ProviderSettings providerSettings(const service::Options& options,
                                            std::size_t descriptorLimit) {
    provider::ProviderSettings settings;
    settings.fixedBlocklistPath = options.blocklist;
    settings.upstreams = options.upstreams;
    // One line when an upstream goes down and when it comes back, none per query.
    settings.upstreamEvents.onChange = [](const platform::Upstream& upstream, bool up) {
        printError(std::string(service::kProgramName) + ": " +
                   provider::describeUpstreamChange(upstream, up));
    };
    settings.upstreamEvents.onCertificateFailure = [](const platform::Upstream& upstream,
                                                      const std::string& why) {
        printError(std::string(service::kProgramName) + ": " +
                   provider::describeCertificateFailure(upstream, why));
    };
    fitDescriptorLimit(settings, options.tcp, descriptorLimit);
    settings.listPageAdvice = platform::linux_host::adviseHugePages;
    settings.onLoad = [debug = options.debug](const provider::LoadReport& report) {
        if (const auto line = service::loadMessage(report, debug)) {
            printError(*line);
        }
    };
    return settings;
}

bool serveMetrics(const service::Options& options, Service& service) {
    if (!options.metrics) {
        return true;
    }
    auto started =
        service::MetricsEndpoint::start(*options.metrics, [weak = std::weak_ptr(service.proxy)] {
            const auto proxy = weak.lock();
            return proxy ? metrics::renderExposition(proxy->metrics()) : std::string();
        });
    if (!started.endpoint) {
        printError(service::metricsFailureMessage(*options.metrics, started.error));
        return false;
    }
    service.metrics = std::move(started.endpoint);
    return true;
}

// The provider gets watched stand-ins of the listeners, which end the service when they close;
// the service keeps the listeners themselves.
void startServing(Service& service) {
    service.proxy->startProxyWithOptions({}, [](std::optional<std::error_code>) {});
    for (const auto& listener : service.listeners) {
        service.proxy->handleNewFlow(std::make_shared<service::WatchedFlow>(
            listener, [control = service.control] { control->end(kExitFailed); }));
    }
}

// Runs the control loop until the service must end, with systemd told when the service is ready
// and when it stops; returns the exit status.
int serveUntilStopped(Control& control) {
    if (std::getenv("NOTIFY_SOCKET") != nullptr) {
        ::sd_notify(0, "READY=1");
    }
    // Every other thread has started by now, so none inherits the low priority.
    platform::linux_host::lowerThisThreadsPriority();
    control.loop.run();
    if (std::getenv("NOTIFY_SOCKET") != nullptr) {
        ::sd_notify(0, "STOPPING=1");
    }
    return control.status.load();
}

// No more reloads, no more flow work, then every thread joined.
void stop(Service& service) {
    service.proxy->stopProxyWithReason(0, [] {});
    service.metrics.reset();
    service.watcher.reset();
    for (const auto& listener : service.tcpListeners) {
        listener->stop();
    }
    for (const auto& listener : service.listeners) {
        listener->stop();  // drops the pending read, which holds the flow
    }
    service.relay->stop();
    service.tcpListeners.clear();
    service.listeners.clear();
    service.proxy.reset();
    service.notifications.reset();
    service.relay.reset();
}

int run(const service::Options& options, const sigset_t& signals) {
    // Each upstream exchange holds a socket: the usual soft limit of 1,024 would not hold the
    // in-flight cap.
    const std::size_t descriptorLimit = platform::posix::raiseDescriptorLimit();
    const auto loggers = startLogging(options.debug);
    const auto passed = service::takePassedSockets(options);
    if (const auto refused = refusePassedSockets(passed)) {
        return *refused;
    }

    Service service;
    service.control = std::make_shared<Control>();
    service.signals = SignalWatch::open(signals, *service.control);
    if (!service.signals) {
        return kExitFailed;
    }
    // One event loop per core the process may use serves every listener, flow and exchange.
    service.relay = std::make_shared<LoopPool>();
    auto udp = passed.datagram.empty() ? bindListeners(*service.relay, options)
                                       : adoptListeners(*service.relay, passed.datagram);
    if (udp.failure) {
        printError(*udp.failure);
        return kExitFailed;
    }
    service.listeners = std::move(udp.listeners);
    service.notifications =
        std::make_shared<platform::linux_host::ProcessNotificationCenter>(service.control->loop);
    service.signals->begin(service.notifications);
    if (!watchBlocklist(options, service)) {
        return kExitFailed;
    }
    std::shared_ptr<platform::linux_host::TlsClientContext> tls;
    if (options.tlsCa || std::any_of(options.upstreams.begin(), options.upstreams.end(),
                                     [](const platform::Upstream& u) { return u.tls(); })) {
        auto made = platform::linux_host::TlsClientContext::make(options.tlsCa);
        if (const auto* why = std::get_if<std::string>(&made)) {
            printError(std::string(service::kProgramName) + ": " + *why);
            return kExitFailed;
        }
        tls = std::get<std::shared_ptr<platform::linux_host::TlsClientContext>>(std::move(made));
    }
    service.proxy = provider::DNSProxyProvider::create(
        {service.relay,
         std::make_shared<platform::linux_host::LoopConnectionFactory>(service.relay, tls),
         service.notifications,
         std::make_shared<platform::linux_host::SdLoginConsoleUser>(service.control->loop),
         std::make_shared<platform::posix::PosixFileSystem>(), loggers},
        providerSettings(options, descriptorLimit));
    auto tcp = startTcp(*service.relay, options, passed, service.proxy);
    if (tcp.failure) {
        printError(*tcp.failure);
        return kExitFailed;
    }
    service.tcpListeners = std::move(tcp.listeners);
    if (!serveMetrics(options, service)) {
        return kExitFailed;
    }
    startServing(service);
    const int status = serveUntilStopped(*service.control);
    stop(service);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread exists, so every thread inherits the mask and only the control
    // loop's signalfd ever takes these signals.
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
