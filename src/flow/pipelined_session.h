#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dns/tcp_framing.h"
#include "platform/connection.h"
#include "platform/queue.h"
#include "platform/upstream.h"

namespace sieveharbor::flow {

class UpstreamState;

// What a pipelined session tells of itself as it goes; any thread.
struct SessionEvents {
    // The upstream's certificate did not verify (or the handshake failed for it): why, as a
    // phrase. Told once for each connection that failed so.
    std::function<void(const platform::Upstream& upstream, const std::string& why)>
        onCertificateFailure;
};

// How long a pipelined session waits.
struct SessionTiming {
    // A connection with no query owed or waiting is closed after this: resolvers close idle DNS
    // over TLS connections after ten seconds or more, and closing first means no query is
    // written into one the resolver is closing.
    std::chrono::milliseconds idleClose{8000};
    // The most queries in flight on one connection.
    std::size_t maxInFlight = 8192;
};

// The queries of every exchange to one upstream over DNS over TLS (RFC 7858): one connection at
// a time, long-lived, carrying many queries at once, each under an ID of its own on it so that
// answers that come in any order find their query; the client's ID is put back in the answer,
// which is otherwise handed back byte for byte. A query that carries EDNS is padded to a
// multiple of 128 bytes (RFC 8467).
//
// The connection is opened when a query comes and none is open, and closed after the idle time
// with nothing owed. When it closes or resets, fails, brings something that is not a framed DNS
// message, or goes silent (answers owed and nothing read for longer than the upstream's
// retransmission time), the queries it owed are sent again on a new one. A connection that
// answered nothing after a query was written may have been lost for that query (one the
// resolver chokes on): such a query goes again once, and is given up when that happens a second
// time, as is one waiting for a connection that cannot be opened; its owner then tries
// elsewhere. One the connection answered others after (a resolver closing after so many
// queries) goes again each time, within its owner's bound. Nothing is written before the
// connection is ready, which for TLS means its handshake has verified the upstream's
// certificate.
//
// Everything runs on the session's lane; submit and withdraw may be called from any thread. The
// session holds its connection; the connection's handlers hold the session weakly.
class PipelinedSession : public std::enable_shared_from_this<PipelinedSession> {
  public:
    using Bytes = std::vector<std::uint8_t>;
    // The reply with the client's ID, or nothing when the query could not be answered here.
    using Done = std::function<void(std::optional<Bytes> reply)>;

    // One query's place in the session, for withdraw(), and what its owner and the session
    // tell each other of it.
    struct Ticket {
        std::atomic<bool> withdrawn{false};
        // The owner has sent the query elsewhere too: a lost connection gives it up rather than
        // sending it again, so a query goes out at most twice.
        std::atomic<bool> elsewhere{false};
        // The session has sent it again on a new connection: its owner gives that one time to
        // answer before going elsewhere.
        std::atomic<bool> resent{false};
    };

    // `state` counts this upstream's handshakes, connections and queries sent again, and gives
    // its retransmission time; shared, since a handler may hold the session for a moment after
    // the upstreams that made it are gone.
    PipelinedSession(std::shared_ptr<platform::ConnectionFactory> connections,
                     std::shared_ptr<UpstreamState> state, std::shared_ptr<platform::Queue> lane,
                     SessionEvents events, SessionTiming timing = {});
    ~PipelinedSession();

    PipelinedSession(const PipelinedSession&) = delete;
    PipelinedSession& operator=(const PipelinedSession&) = delete;

    // Sends `message`, a whole DNS message under the client's ID. `done` runs once, on
    // `replyLane`, unless the query is withdrawn first.
    std::shared_ptr<Ticket> submit(Bytes message, std::shared_ptr<platform::Queue> replyLane,
                                   Done done);
    // The query is no longer wanted: its answer, should one come, is dropped, and done is not
    // called.
    void withdraw(const std::shared_ptr<Ticket>& ticket);

  private:
    struct Pending {
        std::shared_ptr<Ticket> ticket;
        Bytes framed;  // as sent, under the session's ID: to resend and to match the answer
        std::uint16_t clientId = 0;
        std::shared_ptr<platform::Queue> replyLane;
        Done done;
        bool written = false;            // on the connection open now
        bool resent = false;             // owed by a lost connection that answered nothing after it
        std::uint64_t writtenAfter = 0;  // how many the connection had answered when it was written
        std::uint64_t order = 0;         // when it came: what is sent again goes in that order
    };
    enum class Link { none, opening, ready };

    void accept(Bytes message, std::shared_ptr<Ticket> ticket,
                std::shared_ptr<platform::Queue> replyLane, Done done);
    void open();
    void onState(std::uint64_t generation, platform::ConnectionState state);
    void writeWaiting();
    void write(Pending& pending);
    void flush();
    void onSent(std::uint64_t generation, std::optional<platform::ConnectionError> error);
    void receiveNext();
    void onReceived(std::uint64_t generation, std::optional<dns::Datagram> content, bool complete,
                    std::optional<platform::ConnectionError> error);
    void deliver(Bytes framed);
    // The connection is gone (or abandoned): what it owed goes once more on a new one.
    void lost();
    // The connection could not be opened: everything waiting is given up.
    void failedToOpen(std::optional<platform::ConnectionError> error);
    void finish(std::uint16_t id, std::optional<Bytes> reply);
    void closeConnection();
    void awaitSilence(std::chrono::milliseconds after);
    void awaitIdle();
    std::size_t owed() const;

    const std::shared_ptr<platform::ConnectionFactory> connections_;
    const std::shared_ptr<UpstreamState> state_;
    const std::shared_ptr<platform::Queue> lane_;
    const SessionEvents events_;
    const SessionTiming timing_;

    std::shared_ptr<platform::Connection> connection_;
    std::uint64_t generation_ = 0;  // of the connection open now: later handlers of others go
    Link link_ = Link::none;
    Bytes outbox_;  // framed queries for the connection's next write
    bool sending_ = false;
    dns::TcpFramer framer_;
    std::chrono::steady_clock::time_point lastRead_{};
    std::shared_ptr<platform::Timer> silenceTimer_;
    std::shared_ptr<platform::Timer> idleTimer_;
    std::unordered_map<std::uint16_t, Pending> pending_;
    std::deque<std::uint16_t> waiting_;  // not yet written on the connection open now, in order
    std::uint64_t answered_ = 0;         // on the connection open now
    std::uint16_t nextId_ = 1;
    std::uint64_t accepted_ = 0;
    std::string lastRefusal_;  // why the last connection's certificate was refused, if it was
};

}  // namespace sieveharbor::flow
