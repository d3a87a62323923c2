// The Connection seam on Network.framework: one nw_connection_t per exchange.

#import <Network/Network.h>

#include <string>

#include "platform/apple/apple_seams.h"
#include "platform/apple/dispatch_queue.h"
#include "platform/apple/network_states.h"

namespace sieveharbor::platform::apple {

static_assert(static_cast<int>(NetworkState::waiting) == nw_connection_state_waiting &&
              static_cast<int>(NetworkState::preparing) == nw_connection_state_preparing &&
              static_cast<int>(NetworkState::ready) == nw_connection_state_ready &&
              static_cast<int>(NetworkState::failed) == nw_connection_state_failed &&
              static_cast<int>(NetworkState::cancelled) == nw_connection_state_cancelled);
static_assert(static_cast<int>(NetworkErrorDomain::posix) == nw_error_domain_posix &&
              static_cast<int>(NetworkErrorDomain::dns) == nw_error_domain_dns &&
              static_cast<int>(NetworkErrorDomain::tls) == nw_error_domain_tls);

namespace {

std::optional<ConnectionError> errorOf(nw_error_t error) {
    if (error == nil) {
        return std::nullopt;
    }
    return errorFrom(static_cast<NetworkErrorDomain>(nw_error_get_error_domain(error)),
                     nw_error_get_error_code(error));
}

// The bytes of received content, copied out of its regions; nothing for no content.
std::optional<dns::Datagram> bytesOf(dispatch_data_t content) {
    if (content == nil) {
        return std::nullopt;
    }
    __block dns::Datagram bytes;
    bytes.reserve(dispatch_data_get_size(content));
    dispatch_data_apply(content, ^bool(dispatch_data_t, size_t, const void* buffer, size_t size) {
      const auto* first = static_cast<const std::uint8_t*>(buffer);
      bytes.insert(bytes.end(), first, first + size);
      return true;
    });
    return bytes;
}

class NetworkConnection final : public Connection {
  public:
    NetworkConnection(nw_connection_t connection, std::shared_ptr<DispatchQueue> lane)
        : connection_(connection), dispatchQueue_(lane->queue()), lane_(std::move(lane)) {}

    const std::shared_ptr<Queue>& lane() const noexcept override { return lane_; }

    void setStateUpdateHandler(StateUpdateHandler handler) override {
        if (!handler) {
            handler_ = nullptr;
            nw_connection_set_state_changed_handler(connection_, nil);
            return;
        }
        // The framework holds the handler until the connection is cancelled and then lets it go,
        // which is what ends the exchange that the handler holds.
        auto shared = std::make_shared<StateUpdateHandler>(std::move(handler));
        handler_ = shared;
        nw_connection_set_state_changed_handler(
            connection_, ^(nw_connection_state_t state, nw_error_t error) {
              @autoreleasepool {
                  (*shared)(stateFrom(static_cast<NetworkState>(state), errorOf(error)));
              }
            });
    }

    void start() override {
        handler_ = nullptr;  // the framework holds it from here
        nw_connection_set_queue(connection_, dispatchQueue_);
        nw_connection_start(connection_);
    }

    void send(dns::Datagram content, SendCompletion completion) override {
        dispatch_data_t data = dispatch_data_create(content.data(), content.size(), nullptr,
                                                    DISPATCH_DATA_DESTRUCTOR_DEFAULT);
        auto shared = std::make_shared<SendCompletion>(std::move(completion));
        nw_connection_send(connection_, data, NW_CONNECTION_DEFAULT_MESSAGE_CONTEXT, true,
                           ^(nw_error_t error) {
                             @autoreleasepool {
                                 (*shared)(errorOf(error));
                             }
                           });
    }

    void receiveMessage(ReceiveCompletion completion) override {
        nw_connection_receive_message(connection_, receiver(std::move(completion)));
    }

    void receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) override {
        nw_connection_receive(connection_, static_cast<std::uint32_t>(minimum),
                              static_cast<std::uint32_t>(maximum), receiver(std::move(completion)));
    }

    void cancel() override { nw_connection_cancel(connection_); }

  private:
    static nw_connection_receive_completion_t receiver(ReceiveCompletion completion) {
        auto shared = std::make_shared<ReceiveCompletion>(std::move(completion));
        // Each handler drains a pool of its own: the exchange it ends writes to a flow.
        return ^(dispatch_data_t content, nw_content_context_t, bool isComplete, nw_error_t error) {
          @autoreleasepool {
              (*shared)(bytesOf(content), isComplete, errorOf(error));
          }
        };
    }

    nw_connection_t connection_;
    dispatch_queue_t dispatchQueue_;
    const std::shared_ptr<Queue> lane_;
    std::shared_ptr<StateUpdateHandler> handler_;  // until started
};

// TLS for a DNS-over-TLS upstream: at least 1.2, ALPN "dot", and the certificate checked by the
// system's trust for the upstream's name when it has one (sent as SNI too), else for the
// endpoint's address.
nw_parameters_configure_protocol_block_t tlsConfiguration(const Upstream& to) {
    const std::string name = to.tlsName;
    return ^(nw_protocol_options_t options) {
      sec_protocol_options_t security = nw_tls_copy_sec_protocol_options(options);
      sec_protocol_options_set_min_tls_protocol_version(security, tls_protocol_version_TLSv12);
      sec_protocol_options_add_tls_application_protocol(security, "dot");
      if (!name.empty()) {
          sec_protocol_options_set_tls_server_name(security, name.c_str());
      }
    };
}

// Each connection's endpoint is made from the upstream's numeric address: it names no host to
// look up.
class NetworkConnectionFactory final : public ConnectionFactory {
  public:
    std::shared_ptr<Connection> makeConnection(const Upstream& to, Transport transport,
                                               std::shared_ptr<Queue> lane) override {
        nw_endpoint_t endpoint = nw_endpoint_create_host(to.address.addressText().c_str(),
                                                         std::to_string(to.address.port()).c_str());
        nw_parameters_t parameters =
            transport == Transport::datagram
                ? nw_parameters_create_secure_udp(NW_PARAMETERS_DISABLE_PROTOCOL,
                                                  NW_PARAMETERS_DEFAULT_CONFIGURATION)
                : nw_parameters_create_secure_tcp(
                      to.tls() ? tlsConfiguration(to) : NW_PARAMETERS_DISABLE_PROTOCOL,
                      ^(nw_protocol_options_t options) {
                        // A query never waits for an acknowledgement.
                        nw_tcp_options_set_no_delay(options, true);
                      });
        // The lane is a serial queue of the relay's DispatchQueue (its makeSerialQueue() makes
        // nothing else), whose dispatch queue the connection is started on.
        return std::make_shared<NetworkConnection>(
            nw_connection_create(endpoint, parameters),
            std::static_pointer_cast<DispatchQueue>(std::move(lane)));
    }
};

}  // namespace

NetworkRelay makeNetworkRelay() {
    return {makeUserInitiatedDispatchQueue(), std::make_shared<NetworkConnectionFactory>()};
}

}  // namespace sieveharbor::platform::apple
