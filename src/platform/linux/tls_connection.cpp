#include "platform/linux/tls_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "platform/linux/system_error.h"

namespace sieveharbor::platform::linux_host {

namespace {

// ALPN "dot" (RFC 7858, as IANA lists it).
constexpr unsigned char kAlpn[] = {3, 'd', 'o', 't'};
constexpr std::size_t kReadBufferSize = 65536;

// Where an SSL keeps the context that made it, for the session callback.
int contextIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}
// And the upstream it is for, as the sessions are kept.
int upstreamIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// A socket BIO that never raises SIGPIPE: OpenSSL's own writes with write(2), and a close_notify
// or query written after the resolver closed would end the whole process.
int quietWrite(BIO* bio, const char* data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const auto written = ::send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (written < 0 && (wouldBlock(errno) || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(written);
}

int quietRead(BIO* bio, char* into, int length) {
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const auto read = ::recv(fd, into, static_cast<std::size_t>(length), 0);
    if (read < 0 && (wouldBlock(errno) || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(read);
}

long quietControl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered here
}

int quietCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once, kept for the process (OpenSSL holds on to it in every BIO made from it).
const BIO_METHOD* quietSocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quiet socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, quietWrite);
            BIO_meth_set_read(made, quietRead);
            BIO_meth_set_ctrl(made, quietControl);
            BIO_meth_set_create(made, quietCreate);
        }
        return made;
    }();
    return method;
}

// The socket as the SSL's BIO; false when it could not be made.
bool attachQuietSocket(SSL* ssl, int fd) {
    const BIO_METHOD* method = quietSocketMethod();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        return false;
    }
    // A BIO's data is a pointer; the descriptor rides in it rather than in memory of its own.
    BIO_set_data(bio, reinterpret_cast<void*>(  // NOLINT(performance-no-int-to-ptr)
                          static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);  // the SSL owns it now
    return true;
}

std::error_code cancelledError() {
    return std::make_error_code(std::errc::operation_canceled);
}

// Why a certificate was refused, as the seam says it.
CertificateError certificateErrorOf(long verify) {
    switch (verify) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return CertificateError::expired;
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return CertificateError::notYetValid;
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return CertificateError::nameMismatch;
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:
            return CertificateError::untrusted;
        default:
            return CertificateError::other;
    }
}

// The certificates a PEM file holds; nothing when it cannot be read.
std::optional<std::size_t> certificatesIn(const std::string& path) {
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr) {
        return std::nullopt;
    }
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(file, nullptr, nullptr, nullptr);
    BIO_free(file);
    std::size_t count = 0;
    if (infos != nullptr) {
        for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
            count += sk_X509_INFO_value(infos, i)->x509 != nullptr ? 1 : 0;
        }
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
    }
    ERR_clear_error();
    return count;
}

}  // namespace

std::variant<std::shared_ptr<TlsClientContext>, std::string> TlsClientContext::make(
    const std::optional<std::string>& caFile) {
    if (caFile) {
        const auto count = certificatesIn(*caFile);
        if (!count) {
            return "cannot read --tls-ca " + *caFile + ": " +
                   std::generic_category().message(errno != 0 ? errno : ENOENT);
        }
        if (*count == 0) {
            return "--tls-ca " + *caFile + " holds no PEM certificate";
        }
    }
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        return std::string("cannot set up TLS: ") + ERR_reason_error_string(ERR_get_error());
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    const int trusted = caFile ? SSL_CTX_load_verify_locations(context, caFile->c_str(), nullptr)
                               : SSL_CTX_set_default_verify_paths(context);
    if (trusted != 1) {
        SSL_CTX_free(context);
        ERR_clear_error();
        return caFile ? "--tls-ca " + *caFile + " holds no certificate OpenSSL can use"
                      : std::string("cannot find the system's trusted authorities");
    }
    // Sessions (TLS 1.3 tickets come after the handshake) are kept here, per upstream.
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, &TlsClientContext::keepSession);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return std::make_shared<TlsClientContext>(PrivateTag{}, context);
}

TlsClientContext::~TlsClientContext() {
    for (auto& [key, session] : sessions_) {
        SSL_SESSION_free(session);
    }
    SSL_CTX_free(context_);
}

SSL* TlsClientContext::newClient(const Upstream& upstream) {
    SSL* ssl = SSL_new(context_);
    if (ssl == nullptr) {
        return nullptr;
    }
    SSL_set_alpn_protos(ssl, kAlpn, sizeof kAlpn);
    if (!upstream.tlsName.empty()) {
        SSL_set_tlsext_host_name(ssl, upstream.tlsName.c_str());
        SSL_set1_host(ssl, upstream.tlsName.c_str());
    } else {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), upstream.address.addressText().c_str());
    }
    auto* key = new std::string(upstream.text());
    SSL_set_ex_data(ssl, contextIndex(), this);
    SSL_set_ex_data(ssl, upstreamIndex(), key);
    const std::lock_guard lock(mutex_);
    if (const auto it = sessions_.find(*key); it != sessions_.end()) {
        SSL_set_session(ssl, it->second);
    }
    return ssl;
}

int TlsClientContext::keepSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<TlsClientContext*>(SSL_get_ex_data(ssl, contextIndex()));
    const auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, upstreamIndex()));
    if (self == nullptr || key == nullptr) {
        return 0;
    }
    const std::lock_guard lock(self->mutex_);
    auto& kept = self->sessions_[*key];
    if (kept != nullptr) {
        SSL_SESSION_free(kept);
    }
    kept = session;
    return 1;  // the reference is ours now
}

TlsLoopConnection::TlsLoopConnection(const Upstream& upstream,
                                     std::shared_ptr<TlsClientContext> tls,
                                     std::shared_ptr<LoopLane> lane)
    : upstream_(upstream),
      remote_(SocketAddress::from(upstream.address)),
      tls_(std::move(tls)),
      loop_(lane->loop()),
      lane_(std::move(lane)) {}

TlsLoopConnection::~TlsLoopConnection() {
    closeSocket();
}

void TlsLoopConnection::closeSocket() {
    if (ssl_ != nullptr) {
        delete static_cast<std::string*>(SSL_get_ex_data(ssl_, upstreamIndex()));
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (fd_ >= 0) {
        ::close(fd_);  // leaves the epoll set with it
        fd_ = -1;
    }
    watched_ = false;
}

void TlsLoopConnection::setStateUpdateHandler(StateUpdateHandler handler) {
    stateHandler_ =
        handler ? std::make_shared<const StateUpdateHandler>(std::move(handler)) : nullptr;
}

void TlsLoopConnection::report(ConnectionState state) {
    if (const auto handler = stateHandler_) {
        (*handler)(state);
    }
}

void TlsLoopConnection::start() {
    if (started_) {
        return;
    }
    started_ = true;
    loop_.dispatch([self = shared_from_this()] { self->open(); });
}

void TlsLoopConnection::open() {
    if (step_ != Step::idle) {
        return;
    }
    report(ConnectionState::preparing());
    if (!tls_) {
        fail(std::make_error_code(std::errc::protocol_not_supported));
        return;
    }
    fd_ = ::socket(remote_.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd_ < 0 || ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        fail(systemError(errno));
        return;
    }
    loop_.hold(shared_from_this());
    held_ = true;
    step_ = Step::connecting;
    if (::connect(fd_, remote_.data(), remote_.length) == 0) {
        handshake();
        return;
    }
    if (errno != EINPROGRESS) {
        fail(systemError(errno));
        return;
    }
    wantWrite_ = true;
    if (!watch()) {
        fail(systemError(errno));
    }
}

bool TlsLoopConnection::waitFor(int reason) {
    if (reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) {
        return false;
    }
    (reason == SSL_ERROR_WANT_READ ? wantRead_ : wantWrite_) = true;
    if (!watch()) {
        fail(systemError(errno));
    }
    return true;
}

bool TlsLoopConnection::watch() {
    std::uint32_t events = 0;
    const bool reading = step_ == Step::ready && pendingReceive_;
    const bool writing = step_ == Step::ready && pendingSend_;
    if (wantRead_ || reading) {
        events |= EventLoop::kInput;
    }
    if (wantWrite_ || writing) {
        events |= EventLoop::kOutput;
    }
    if (events == 0 || fd_ < 0) {
        return true;
    }
    if (watched_) {
        return loop_.rearmOnce(fd_, this, events);
    }
    watched_ = loop_.watchOnce(fd_, this, events);
    return watched_;
}

void TlsLoopConnection::handshake() {
    if (ssl_ == nullptr) {
        ssl_ = tls_->newClient(upstream_);
        if (ssl_ == nullptr || !attachQuietSocket(ssl_, fd_)) {
            fail(std::make_error_code(std::errc::not_enough_memory));
            return;
        }
        SSL_set_connect_state(ssl_);
        step_ = Step::handshaking;
    }
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    wantRead_ = wantWrite_ = false;
    if (result == 1) {
        step_ = Step::ready;
        resumed_ = SSL_session_reused(ssl_) == 1;
        report(ConnectionState::ready());
        return;
    }
    const int reason = SSL_get_error(ssl_, result);
    if (waitFor(reason)) {
        return;
    }
    // Refused by the certificate's verification, or the handshake itself failed.
    const long verify = SSL_get_verify_result(ssl_);
    ERR_clear_error();
    if (verify != X509_V_OK) {
        fail(make_error_code(certificateErrorOf(verify)));
    } else {
        fail(reason == SSL_ERROR_SYSCALL && errno != 0
                 ? systemError(errno)
                 : std::make_error_code(std::errc::protocol_error));
    }
}

void TlsLoopConnection::fail(ConnectionError error) {
    step_ = Step::closed;
    closeSocket();
    if (held_) {
        held_ = false;
        loop_.forget(this);
    }
    auto send = std::move(pendingSend_);
    pendingSend_ = nullptr;
    auto receive = std::move(pendingReceive_);
    pendingReceive_ = nullptr;
    if (send) {
        send(error);
    }
    if (receive) {
        receive(std::nullopt, false, error);
    }
    report(ConnectionState::failed(error));
}

void TlsLoopConnection::send(dns::Datagram content, SendCompletion completion) {
    loop_.dispatch([self = shared_from_this(), content = std::move(content),
                    completion = std::move(completion)]() mutable {
        if (self->step_ != Step::ready || self->pendingSend_) {
            const auto error = self->step_ == Step::closed ? cancelledError()
                               : self->pendingSend_
                                   ? std::make_error_code(std::errc::operation_in_progress)
                                   : std::make_error_code(std::errc::not_connected);
            self->loop_.post([completion = std::move(completion), error] { completion(error); });
            return;
        }
        self->unsent_ = std::move(content);
        self->unsentFrom_ = 0;
        self->pendingSend_ = std::move(completion);
        self->tryWrite();
    });
}

void TlsLoopConnection::tryWrite() {
    while (pendingSend_ && unsentFrom_ < unsent_.size()) {
        std::size_t written = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_, unsent_.data() + unsentFrom_, unsent_.size() - unsentFrom_,
                         &written) == 1) {
            unsentFrom_ += written;
            continue;
        }
        const int reason = SSL_get_error(ssl_, 0);
        if (waitFor(reason)) {
            return;
        }
        fail(std::make_error_code(std::errc::connection_reset));
        return;
    }
    if (pendingSend_) {
        auto completion = std::move(pendingSend_);
        pendingSend_ = nullptr;
        unsent_ = {};
        loop_.post([completion = std::move(completion)] { completion(std::nullopt); });
    }
}

void TlsLoopConnection::receiveMessage(ReceiveCompletion completion) {
    receive(1, kReadBufferSize, std::move(completion));
}

void TlsLoopConnection::receive(std::size_t /*minimum*/, std::size_t maximum,
                                ReceiveCompletion completion) {
    loop_.dispatch(
        [self = shared_from_this(), maximum, completion = std::move(completion)]() mutable {
            if (self->step_ != Step::ready || self->pendingReceive_) {
                const auto error = self->step_ == Step::closed
                                       ? cancelledError()
                                       : std::make_error_code(std::errc::device_or_resource_busy);
                self->loop_.post([completion = std::move(completion), error] {
                    completion(std::nullopt, false, error);
                });
                return;
            }
            self->pendingReceive_ = std::move(completion);
            self->receiveMaximum_ = std::min(maximum, kReadBufferSize);
            // TLS may hold decrypted bytes already: read before waiting.
            self->tryRead();
        });
}

void TlsLoopConnection::tryRead() {
    if (!pendingReceive_) {
        return;
    }
    thread_local std::array<std::uint8_t, kReadBufferSize> buffer;
    std::size_t got = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl_, buffer.data(), receiveMaximum_, &got) == 1) {
        auto completion = std::move(pendingReceive_);
        pendingReceive_ = nullptr;
        completion(dns::Datagram(buffer.begin(), buffer.begin() + static_cast<long>(got)), false,
                   std::nullopt);
        return;
    }
    const int reason = SSL_get_error(ssl_, 0);
    if (waitFor(reason)) {
        return;
    }
    auto completion = std::move(pendingReceive_);
    pendingReceive_ = nullptr;
    if (reason == SSL_ERROR_ZERO_RETURN || (reason == SSL_ERROR_SYSCALL && errno == 0)) {
        completion(dns::Datagram{}, true, std::nullopt);  // the upstream closed its side
        return;
    }
    completion(std::nullopt, false, std::make_error_code(std::errc::connection_reset));
}

void TlsLoopConnection::onReady(std::uint32_t /*events*/) {
    if (fd_ < 0 || step_ == Step::closed) {
        return;
    }
    wantRead_ = wantWrite_ = false;
    switch (step_) {
        case Step::connecting: {
            int number = 0;
            socklen_t length = sizeof number;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &number, &length) != 0) {
                number = errno;
            }
            if (number != 0) {
                fail(systemError(number));
                return;
            }
            handshake();
            return;
        }
        case Step::handshaking:
            handshake();
            return;
        case Step::ready:
            tryWrite();
            if (step_ == Step::ready) {
                tryRead();
            }
            if (step_ == Step::ready && !watch()) {
                fail(systemError(errno));
            }
            return;
        case Step::idle:
        case Step::closed:
            return;
    }
}

void TlsLoopConnection::cancel() {
    if (!started_) {
        stateHandler_ = nullptr;
        step_ = Step::closed;
        return;
    }
    loop_.dispatch([self = shared_from_this()] {
        if (self->step_ == Step::closed && !self->stateHandler_) {
            return;
        }
        if (self->ssl_ != nullptr && self->step_ == Step::ready) {
            SSL_shutdown(self->ssl_);  // one close_notify, not waited for
        }
        self->step_ = Step::closed;
        self->closeSocket();
        if (self->held_) {
            self->held_ = false;
            self->loop_.forget(self.get());
        }
        auto receive = std::move(self->pendingReceive_);
        self->pendingReceive_ = nullptr;
        auto send = std::move(self->pendingSend_);
        self->pendingSend_ = nullptr;
        self->loop_.post([self, receive = std::move(receive), send = std::move(send)] {
            if (send) {
                send(cancelledError());
            }
            if (receive) {
                receive(std::nullopt, false, cancelledError());
            }
            self->report(ConnectionState::cancelled());
            self->stateHandler_ = nullptr;
        });
    });
}

bool TlsLoopConnection::resumedSession() const noexcept {
    return resumed_;
}

void TlsLoopConnection::abandon() {
    step_ = Step::closed;
    pendingReceive_ = nullptr;
    pendingSend_ = nullptr;
    stateHandler_ = nullptr;
    held_ = false;
}

}  // namespace sieveharbor::platform::linux_host
