#include "metrics/exposition.h"

#include <chrono>
#include <cstdio>
#include <span>
#include <string_view>

namespace sieveharbor::metrics {
namespace {

std::string secondsText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

class Writer {
  public:
    void family(std::string_view name, std::string_view type, std::string_view help) {
        name_ = name;
        text_.append("# HELP sieveharbor_").append(name).append(" ").append(help).append("\n");
        text_.append("# TYPE sieveharbor_").append(name).append(" ").append(type).append("\n");
    }

    void sample(std::uint64_t value) { line("", std::to_string(value)); }

    void seconds(double value) { line("", secondsText(value)); }

    // One sample labelled with one value, which is escaped as the text format asks; `more`, when
    // given, is further labels as they are written (`,kind="full"`).
    void labelledSample(std::string_view label, std::string_view value, std::string_view sample,
                        std::string_view more = {}) {
        std::string labels = "{";
        labels.append(label).append("=\"");
        for (const char c : value) {
            if (c == '\\' || c == '"' || c == '\n') {
                labels.push_back('\\');
            }
            labels.push_back(c == '\n' ? 'n' : c);
        }
        labels.append("\"").append(more).append("}");
        line(labels, sample);
    }

    // One sample per label value, in the order of the enum the values are indexed by.
    template <class Kind>
    void labelled(std::string_view label, const Counts<Kind>& values) {
        labelled(label, Labels<Kind>::names, values);
    }
    void labelled(std::string_view label, std::span<const char* const> names,
                  std::span<const std::uint64_t> values) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::string labels = "{";
            labels.append(label).append("=\"").append(names[i]).append("\"}");
            line(labels, std::to_string(values[i]));
        }
    }

    std::string take() { return std::move(text_); }

  private:
    void line(std::string_view labels, std::string_view value) {
        text_.append("sieveharbor_").append(name_).append(labels).append(" ").append(value);
        text_.append("\n");
    }

    std::string text_;
    std::string_view name_;
};

double unixSeconds(std::chrono::system_clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

}  // namespace

std::string renderExposition(const Snapshot& s) {
    Writer w;
    w.family("queries_received_total", "counter", "DNS queries received, by transport.");
    w.labelled<Transport>("transport", s.received);
    w.family("queries_answered_total", "counter",
             "Queries answered by the proxy itself, by the answer's kind: the blocked kinds, and "
             "servfail for a query no upstream replied to.");
    w.labelled<Answer>("kind", s.answered);
    w.family("queries_relayed_total", "counter", "Queries relayed to the upstream resolver.");
    w.sample(s.relayed);
    w.family("queries_dropped_total", "counter",
             "Queries neither answered nor relayed, by reason.");
    w.labelled<Drop>("reason", s.dropped);
    w.family("tcp_connections_closed_total", "counter",
             "TCP client connections closed by the proxy, by reason.");
    w.labelled<TcpClose>("reason", s.tcpClosed);
    w.family("upstream_exchanges_total", "counter", "Upstream exchanges ended, by outcome.");
    w.labelled<Outcome>("outcome", s.exchanges);
    w.family("upstream_exchanges_in_flight", "gauge",
             "Attempts under way, each holding a socket to an upstream.");
    w.sample(s.inFlight);
    const auto perUpstream = [&](std::string_view name, std::string_view type,
                                 std::string_view help, auto value) {
        w.family(name, type, help);
        for (const auto& upstream : s.upstreams) {
            w.labelledSample("upstream", upstream.name, value(upstream));
        }
    };
    perUpstream("upstream_attempts_total", "counter", "Attempts made to each upstream.",
                [](const UpstreamFigures& u) { return std::to_string(u.attempts); });
    perUpstream("upstream_replies_total", "counter", "Valid replies from each upstream.",
                [](const UpstreamFigures& u) { return std::to_string(u.replies); });
    perUpstream("upstream_timeouts_total", "counter",
                "Attempts with no reply within the upstream's retransmission time.",
                [](const UpstreamFigures& u) { return std::to_string(u.timeouts); });
    perUpstream("upstream_refusals_total", "counter",
                "Attempts refused or failed before their time.",
                [](const UpstreamFigures& u) { return std::to_string(u.refusals); });
    perUpstream("upstream_up", "gauge", "Whether each upstream is up (1) or down and skipped (0).",
                [](const UpstreamFigures& u) { return std::string(u.up ? "1" : "0"); });
    perUpstream(
        "upstream_smoothed_rtt_seconds", "gauge",
        "Each upstream's smoothed round trip; NaN before its first reply.",
        [](const UpstreamFigures& u) {
            return u.smoothedRoundTrip
                       ? secondsText(std::chrono::duration<double>(*u.smoothedRoundTrip).count())
                       : std::string("NaN");
        });
    // The TLS upstreams' connections, when there are any.
    const auto perTlsUpstream = [&](std::string_view name, std::string_view type,
                                    std::string_view help, auto samples) {
        bool named = false;
        for (const auto& upstream : s.upstreams) {
            if (upstream.tls) {
                if (!named) {
                    w.family(name, type, help);
                    named = true;
                }
                samples(upstream.name, *upstream.tls);
            }
        }
    };
    perTlsUpstream("upstream_tls_connections_open", "gauge",
                   "Connections open to each TLS upstream.",
                   [&](const std::string& name, const TlsFigures& t) {
                       w.labelledSample("upstream", name, std::to_string(t.connectionsOpen));
                   });
    perTlsUpstream(
        "upstream_tls_handshakes_total", "counter",
        "TLS handshakes completed with each TLS upstream: full, or resuming an earlier session.",
        [&](const std::string& name, const TlsFigures& t) {
            w.labelledSample("upstream", name, std::to_string(t.fullHandshakes), ",kind=\"full\"");
            w.labelledSample("upstream", name, std::to_string(t.resumedHandshakes),
                             ",kind=\"resumed\"");
        });
    perTlsUpstream("upstream_tls_queries_resent_total", "counter",
                   "Queries sent again on a new connection after the one that owed them was lost.",
                   [&](const std::string& name, const TlsFigures& t) {
                       w.labelledSample("upstream", name, std::to_string(t.resent));
                   });
    perTlsUpstream("upstream_tls_certificate_failures_total", "counter",
                   "Connections to each TLS upstream refused for its certificate.",
                   [&](const std::string& name, const TlsFigures& t) {
                       w.labelledSample("upstream", name, std::to_string(t.certificateFailures));
                   });
    w.family("blocklist_entries", "gauge", "Entries of the blocklist in force.");
    w.sample(s.entries);
    w.family("blocklist_reloads_total", "counter", "Loads of the blocklist file, by outcome.");
    constexpr std::array kReloadOutcomes = {"accepted", "refused"};
    w.labelled("outcome", kReloadOutcomes,
               std::array<std::uint64_t, 2>{s.reloadsAccepted, s.reloadsRefused});
    if (s.lastReload) {
        w.family("blocklist_last_reload_timestamp_seconds", "gauge",
                 "When the blocklist in force was accepted, in seconds since the epoch.");
        w.seconds(unixSeconds(*s.lastReload));
        w.family("blocklist_last_reload_duration_seconds", "gauge",
                 "How long the load of the blocklist in force took.");
        w.seconds(std::chrono::duration<double>(s.lastReloadTook).count());
    }
    w.family("process_start_time_seconds", "gauge",
             "When the proxy started, in seconds since the epoch.");
    w.seconds(unixSeconds(s.started));
    return w.take();
}

}  // namespace sieveharbor::metrics
