#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "blocklist/domain_set_holder.h"
#include "blocklist/matching.h"
#include "dns/datagram.h"
#include "flow/flow_context.h"
#include "flow/forward_query.h"
#include "flow/stream_registry.h"
#include "metrics/counters.h"
#include "platform/connection.h"
#include "platform/console_user.h"
#include "platform/file_system.h"
#include "platform/flow.h"
#include "platform/logger.h"
#include "platform/notification_center.h"
#include "platform/queue.h"
#include "platform/socket_address.h"
#include "platform/upstream.h"
#include "provider/identifiers.h"

namespace sieveharbor::provider {

// The filtering resolver that unblocked queries are relayed to unless a host says otherwise: a
// public resolver that filters malware and adult domains, on port 53.
const platform::SocketAddress& defaultSafeDNSAddress();
// The upstream list unless a host says otherwise: that resolver alone.
platform::UpstreamList defaultUpstreams();
inline constexpr std::string_view kProviderLogSubsystem = "com.brackenmoor.sieveharbor.proxy";
inline constexpr std::string_view kLogCategory = "dns";

// What to say when an upstream goes down or comes back, or a TLS upstream's certificate is
// refused: one line, no program name.
std::string describeUpstreamChange(const platform::Upstream& upstream, bool up);
std::string describeCertificateFailure(const platform::Upstream& upstream, const std::string& why);

// The posted name that makes every running provider reload its blocklist.
const std::string& blocklistUpdatedNotificationName();

// Everything the provider reaches the operating system through, handed over at construction.
struct ProviderSeams {
    // Runs the stream flows' sessions and the exchanges, and gives the time.
    std::shared_ptr<platform::Queue> queue;
    // Connections to the upstreams, on serial queues of `queue`.
    std::shared_ptr<platform::ConnectionFactory> connections;
    std::shared_ptr<platform::NotificationCenter> notifications;
    std::shared_ptr<platform::ConsoleUser> consoleUser;
    std::shared_ptr<platform::FileSystem> fileSystem;
    std::shared_ptr<platform::LoggerFactory> loggers;
};

// What one load of the blocklist file came to, for a host that reports it.
struct LoadReport {
    enum class Outcome {
        accepted,
        unreadable,
        notUtf8,
        lineTooLong,  // a line longer than any name could be
        tooBig,       // more text than one set holds
        outOfMemory,
        keptChanging,  // the file changed under every read
    };
    std::string path;
    Outcome outcome = Outcome::accepted;
    std::size_t entries = 0;  // of the set published, when accepted
    std::chrono::nanoseconds took{0};
};

// Settings of a host that is not the home platform. The defaults are the compiled-in ones.
struct ProviderSettings {
    // Replaces the console user's file: a headless host has no console user.
    std::optional<std::string> fixedBlocklistPath;
    // Told of every load that found a file at the path, accepted or refused, on the loading
    // thread.
    std::function<void(const LoadReport&)> onLoad;
    // Where relayed queries go, in order of preference; never empty.
    platform::UpstreamList upstreams = defaultUpstreams();
    // Told when an upstream goes down and when it comes back, and when a TLS upstream's
    // certificate is refused, on the relay's threads; what is left empty the provider's logger
    // says at the debug level.
    flow::UpstreamEvents upstreamEvents;
    flow::ForwardOptions forward{};
    flow::StreamLimits streams{};
    // Given to the memory of each loaded list's big arrays (huge pages on Linux); none by
    // default.
    blocklist::PageAdvice listPageAdvice = nullptr;
};

// What the platform starts the provider with.
struct StartOptions {
    // The upstreams the host's configuration names (on macOS, what the app saved in the DNS
    // proxy configuration); nothing keeps those the provider was made with.
    std::optional<platform::UpstreamList> upstreams;
};

// The DNS proxy: takes UDP and TCP flows, answers queries for blocked names itself and relays the
// rest upstream; holds the blocklist and reloads it on the update notification.
//
// Made only by create(), as a shared object: completions hold it weakly, so a flow callback that
// arrives after the provider has gone closes the flow or does nothing, and upstream exchanges
// never hold it at all. Every operation may be called from any thread.
class DNSProxyProvider : public std::enable_shared_from_this<DNSProxyProvider> {
  public:
    using StartCompletion = std::function<void(std::optional<std::error_code> error)>;
    using Completion = std::function<void()>;

    static std::shared_ptr<DNSProxyProvider> create(ProviderSeams seams,
                                                    ProviderSettings settings = {});
    ~DNSProxyProvider();

    DNSProxyProvider(const DNSProxyProvider&) = delete;
    DNSProxyProvider& operator=(const DNSProxyProvider&) = delete;

    // Lifecycle. Start takes the upstreams the options name, if any, subscribes to the update
    // notification and, when the list is the console user's, to changes of console user (either
    // reloads the list), loads the blocklist on the calling thread and then completes, always
    // without error; stop and sleep remove every subscription and then complete once; wake
    // subscribes again without reloading.
    void startProxyWithOptions(const StartOptions& options, const StartCompletion& completion);
    void stopProxyWithReason(int reason, const Completion& completion);
    void sleepWithCompletionHandler(const Completion& completion);
    void wake();

    // Takes a UDP flow (opened, then read batch after batch) or a TCP flow (opened, then read as
    // a stream of framed messages) and serves it with the one flow context; true for both, false
    // only for no flow. Returns at once.
    bool handleNewFlow(const std::shared_ptr<platform::Flow>& flow);

    // The blocking rule applied to one snapshot of blockedDomains.
    bool isDomainBlocked(std::string_view name) const;

    // The stream flows being served, for a host that reports them.
    const flow::StreamRegistry& streamFlows() const noexcept { return streams_; }

    // Every counter, with the gauges of this moment: the list's entries, the attempts in flight,
    // each upstream's figures.
    metrics::Snapshot metrics() const;

    // Reads the blocklist file afresh and publishes its entries as one whole new set. Anything
    // that goes wrong (no user, no file, unreadable or ill-formed text, a line longer than any
    // name, too much text, no memory, a file that changes under every read) leaves the current
    // set in force. Loads run one at a time, so the set published last is always from the
    // latest read. Synchronous; never fails towards the caller.
    void loadBlocklist();

    // The first upstream of the list in force, and its port: where relayed queries go while it
    // answers.
    platform::SocketAddress safeDNSAddress() const;
    std::uint16_t safeDNSPort() const { return safeDNSAddress().port(); }

    // Fields, in their order of initialisation. Only blockedDomains changes after init, and only
    // by whole replacement.
    const std::shared_ptr<platform::Logger> logger;
    blocklist::DomainSetHolder blockedDomains;

  private:
    struct PrivateTag {};

  public:
    DNSProxyProvider(PrivateTag, ProviderSeams seams, ProviderSettings settings);

  private:
    void subscribe();
    void unsubscribe();
    std::optional<std::string> blocklistPath() const;
    LoadReport::Outcome loadFrom(const std::string& path, std::size_t& entries);

    ProviderSeams seams_;
    std::optional<std::string> fixedBlocklistPath_;
    std::function<void(const LoadReport&)> onLoad_;
    blocklist::PageAdvice listPageAdvice_;
    std::mutex loadMutex_;  // held by each load from its read to its publication
    flow::StreamRegistry streams_;
    // What every flow is served with; flows hold it weakly, through the provider.
    flow::FlowContext context_;
};

}  // namespace sieveharbor::provider
