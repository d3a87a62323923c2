#include "main/metrics_endpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "metrics/exposition.h"

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

// Bound here rather than by the library, so that a failure has the system's reason.
int listenOn(const SocketAddress& address, std::error_code& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.isV6()) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(address.port);
        ::inet_pton(AF_INET6, address.address.c_str(), &v6.sin6_addr);
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(address.port);
        ::inet_pton(AF_INET, address.address.c_str(), &v4.sin_addr);
        length = sizeof v4;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (address.isV6() && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        error = std::error_code(errno, std::system_category());
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

std::uint16_t localPort(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return 0;
    }
    return ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(local).sin_port);
}

}  // namespace

MetricsEndpoint::Started MetricsEndpoint::start(const SocketAddress& address, Render render) {
    std::error_code error;
    const int fd = listenOn(address, error);
    if (fd < 0) {
        return {nullptr, error};
    }
    std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint(std::move(render)));
    endpoint->port_ = localPort(fd);
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
