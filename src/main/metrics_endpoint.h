#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "main/command_line.h"

struct MHD_Daemon;

namespace sieveharbor::service {

// Serves GET /metrics over HTTP on one address, from a thread of its own (libmicrohttpd's), so
// a scrape never takes a query thread; every other path or method gets 404.
class MetricsEndpoint {
  public:
    // The page's text, made afresh for each scrape on the endpoint's thread.
    using Render = std::function<std::string()>;

    struct Started {
        std::unique_ptr<MetricsEndpoint> endpoint;
        std::error_code error;  // when endpoint is empty
    };

    static Started start(const platform::SocketAddress& address, Render render);
    // Stops the thread and closes every socket.
    ~MetricsEndpoint();

    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    std::uint16_t port() const noexcept { return port_; }

  private:
    struct PrivateTag {};

  public:
    MetricsEndpoint(PrivateTag, Render render) : render_(std::move(render)) {}

  private:
    Render render_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t port_ = 0;
};

}  // namespace sieveharbor::service
