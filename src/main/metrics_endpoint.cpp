#include "main/metrics_endpoint.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "metrics/exposition.h"
#include "platform/linux/socket_address.h"

namespace sieveharbor::service {
namespace {

// Scrapers are few; a client that holds connections open must not hold the thread.
constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kConnectionTimeoutSeconds = 10;

MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   const char* contentType) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result handle(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*uploadData*/,
                  std::size_t* /*uploadDataSize*/, void** /*connectionState*/) {
    if (std::string_view(method) != MHD_HTTP_METHOD_GET || std::string_view(url) != "/metrics") {
        return respond(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
    }
    const auto& render = *static_cast<const MetricsEndpoint::Render*>(context);
    return respond(connection, MHD_HTTP_OK, render(), metrics::kExpositionContentType);
}

}  // namespace

MetricsEndpoint::Started MetricsEndpoint::start(const platform::SocketAddress& address,
                                                Render render) {
    // Bound here rather than by the library, so that a failure has the system's reason.
    auto [fd, error] = platform::linux_host::bindSocket(
        platform::linux_host::SocketAddress::from(address), SOCK_STREAM | SOCK_CLOEXEC,
        {.reuseAddress = true, .listen = true});
    if (fd < 0) {
        return {nullptr, error};
    }
    auto endpoint = std::make_unique<MetricsEndpoint>(PrivateTag{}, std::move(render));
    const auto bound = platform::linux_host::SocketAddress::boundTo(fd);
    endpoint->port_ = bound ? bound->port() : 0;
    const unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | (address.isV6() ? MHD_USE_IPv6 : 0);
    endpoint->daemon_ = MHD_start_daemon(
        flags, endpoint->port_, nullptr, nullptr, &handle, &endpoint->render_,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
        MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END);
    if (endpoint->daemon_ == nullptr) {
        error = std::error_code(errno != 0 ? errno : EIO, std::system_category());
        ::close(fd);
        return {nullptr, error};
    }
    return {std::move(endpoint), {}};
}

MetricsEndpoint::~MetricsEndpoint() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);  // joins its thread and closes the listening socket
    }
}

}  // namespace sieveharbor::service
