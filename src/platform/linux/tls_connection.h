#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "platform/connection.h"
#include "platform/linux/event_loop.h"
#include "platform/linux/socket_address.h"

using SSL = struct ssl_st;
using SSL_CTX = struct ssl_ctx_st;
using SSL_SESSION = struct ssl_session_st;

namespace sieveharbor::platform::linux_host {

// What every DNS-over-TLS connection of the process shares (OpenSSL): whom it trusts, TLS 1.2
// at least, ALPN "dot", and the session each upstream last gave, so that a new connection to it
// resumes rather than making a full handshake. Any thread.
class TlsClientContext {
  public:
    // Trusting the authorities of a PEM file, or where none is given the system's (OpenSSL's
    // default paths: Debian's CA bundle). Either the context, or one line saying why not (the
    // file cannot be read, or holds no certificate).
    static std::variant<std::shared_ptr<TlsClientContext>, std::string> make(
        const std::optional<std::string>& caFile);
    ~TlsClientContext();

    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

    // A client for one connection to `upstream`: its name sent as SNI and required of the
    // certificate, or without a name its address required; the session kept for it, if any.
    SSL* newClient(const Upstream& upstream);

  private:
    struct PrivateTag {};

  public:
    TlsClientContext(PrivateTag, SSL_CTX* context) : context_(context) {}

  private:
    static int keepSession(SSL* ssl, SSL_SESSION* session);

    SSL_CTX* const context_;
    std::mutex mutex_;                              // guards sessions_
    std::map<std::string, SSL_SESSION*> sessions_;  // by upstream text
};

// DNS over TLS to one upstream as a stream connection on the event loop of its lane: a
// non-blocking TCP connect, then the TLS handshake, which must verify the upstream's certificate
// before the connection reports ready; then send and receive carry the stream's bytes through
// TLS. A handshake the certificate fails ends in failed with an error of
// certificateErrorCategory(). No thread of its own: every step is a readiness call of the loop.
class TlsLoopConnection final : public Connection,
                                public Watcher,
                                public std::enable_shared_from_this<TlsLoopConnection> {
  public:
    TlsLoopConnection(const Upstream& upstream, std::shared_ptr<TlsClientContext> tls,
                      std::shared_ptr<LoopLane> lane);
    ~TlsLoopConnection() override;

    const std::shared_ptr<Queue>& lane() const noexcept override { return lane_; }
    void setStateUpdateHandler(StateUpdateHandler handler) override;
    void start() override;
    void send(dns::Datagram content, SendCompletion completion) override;
    void receiveMessage(ReceiveCompletion completion) override;
    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override;
    void cancel() override;
    bool resumedSession() const noexcept override;

    void onReady(std::uint32_t events) override;
    void abandon() override;

  private:
    enum class Step { idle, connecting, handshaking, ready, closed };

    void open();
    void handshake();
    void tryWrite();
    void tryRead();
    // Watches for what the steps under way wait for; false (the connection then fails) when the
    // kernel refuses.
    bool watch();
    // An SSL call that must wait for the socket to read or write, as `reason` (SSL_get_error's)
    // asks: the wait is set, or the connection failed. False for any other reason.
    bool waitFor(int reason);
    void fail(ConnectionError error);
    void report(ConnectionState state);
    void closeSocket();

    const Upstream upstream_;
    const SocketAddress remote_;
    const std::shared_ptr<TlsClientContext> tls_;
    EventLoop& loop_;
    const std::shared_ptr<Queue> lane_;
    std::shared_ptr<const StateUpdateHandler> stateHandler_;
    SSL* ssl_ = nullptr;
    int fd_ = -1;
    Step step_ = Step::idle;
    bool started_ = false;
    bool watched_ = false;
    bool held_ = false;
    bool wantRead_ = false;   // TLS wants the socket readable to go on
    bool wantWrite_ = false;  // or writable
    dns::Datagram unsent_;
    std::size_t unsentFrom_ = 0;
    SendCompletion pendingSend_;
    ReceiveCompletion pendingReceive_;
    std::size_t receiveMaximum_ = 0;
    bool resumed_ = false;
};

}  // namespace sieveharbor::platform::linux_host
