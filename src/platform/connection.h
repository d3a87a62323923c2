#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "dns/datagram.h"
#include "platform/queue.h"
#include "platform/upstream.h"

namespace sieveharbor::platform {

using ConnectionError = std::error_code;

// Why a TLS connection's upstream was not taken for what it says it is. A connection refused so
// reports failed with an error of certificateErrorCategory(); message() says why, for a person.
enum class CertificateError {
    untrusted = 1,  // no chain to an authority trusted here
    nameMismatch,   // the certificate holds neither the name asked for nor the address
    expired,
    notYetValid,
    other,  // refused for another reason of the certificate's
};
const std::error_category& certificateErrorCategory() noexcept;
// std::error_code finds it by this name.
inline std::error_code make_error_code(  // NOLINT(readability-identifier-naming)
    CertificateError error) noexcept {
    return {static_cast<int>(error), certificateErrorCategory()};
}

struct ConnectionState {
    enum class Kind { setup, preparing, ready, waiting, failed, cancelled };

    Kind kind = Kind::setup;
    // Present only for waiting and failed.
    std::optional<ConnectionError> error;

    static ConnectionState setup() { return {Kind::setup, std::nullopt}; }
    static ConnectionState preparing() { return {Kind::preparing, std::nullopt}; }
    static ConnectionState ready() { return {Kind::ready, std::nullopt}; }
    static ConnectionState waiting(ConnectionError e) { return {Kind::waiting, e}; }
    static ConnectionState failed(ConnectionError e) { return {Kind::failed, e}; }
    static ConnectionState cancelled() { return {Kind::cancelled, std::nullopt}; }
};

// How an exchange reaches the upstream: UDP datagrams, or a TCP stream.
enum class Transport : std::uint8_t { datagram, stream };

// A connection to an upstream: for one attempt, a fresh connected socket (Linux) or an
// nw_connection_t (macOS); for a TLS upstream, the long-lived stream its session runs over, which
// reports ready only once its handshake has verified the upstream's certificate (never without
// TLS).
//
// Order of use: setStateUpdateHandler, then start(), then send and receive once ready, then
// cancel(). Every handler and completion runs on lane(), the serial queue the connection was made
// with; the state handler once per reported state, each send and receive completion exactly once
// (with an error if the connection was cancelled first). Methods may be called from any thread.
//
// Ownership: the connection holds its handlers until it is cancelled. After cancel() it reports
// the cancelled state (if it was started), completes what is pending, and then releases every
// handler, which breaks the handler <-> connection cycle that keeps an exchange alive.
class Connection {
  public:
    using StateUpdateHandler = std::function<void(ConnectionState state)>;
    using SendCompletion = std::function<void(std::optional<ConnectionError> error)>;
    // Datagram (receiveMessage): content is the whole datagram, present and possibly empty, and
    // isComplete is true. Stream (receive): content is the next bytes, at least one, or empty
    // with isComplete true when the upstream has closed its side.
    using ReceiveCompletion =
        std::function<void(std::optional<dns::Datagram> content, bool isComplete,
                           std::optional<ConnectionError> error)>;

    virtual ~Connection() = default;

    // Where the connection runs its handlers; its user runs its own steps and timers there too,
    // so that none of them overlap.
    virtual const std::shared_ptr<Queue>& lane() const noexcept = 0;
    virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
    virtual void start() = 0;
    // Sends content whole: one datagram, or the next bytes of the stream.
    virtual void send(dns::Datagram content, SendCompletion completion) = 0;
    // Datagram connections: the next whole datagram.
    virtual void receiveMessage(ReceiveCompletion completion) = 0;
    // Stream connections: between minimum and maximum bytes, whatever has arrived.
    virtual void receive(std::size_t minimum, std::size_t maximum,
                         ReceiveCompletion completion) = 0;
    virtual void cancel() = 0;
    // TLS: whether the handshake resumed an earlier session (a ticket kept from before) rather
    // than making a full one; known once ready. False where the platform cannot tell.
    virtual bool resumedSession() const noexcept { return false; }
};

// Makes connections to upstreams. Any thread.
class ConnectionFactory {
  public:
    virtual ~ConnectionFactory() = default;
    // A connection to `to` that runs its handlers on `lane`, a serial queue made by the runtime
    // the factory was made with (its makeSerialQueue()): one exchange's connections share a lane,
    // so their handlers never overlap.
    virtual std::shared_ptr<Connection> makeConnection(const Upstream& to, Transport transport,
                                                       std::shared_ptr<Queue> lane) = 0;
};

}  // namespace sieveharbor::platform
