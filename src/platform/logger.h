#pragma once

#include <memory>
#include <string_view>

namespace sieveharbor::platform {

// A log channel named by subsystem and category. Any thread.
class Logger {
  public:
    virtual ~Logger() = default;
    virtual bool isDebugEnabled() const = 0;
    // Writes one debug message; nothing when debug is disabled.
    virtual void debug(std::string_view message) = 0;
};

class LoggerFactory {
  public:
    virtual ~LoggerFactory() = default;
    virtual std::shared_ptr<Logger> makeLogger(std::string_view subsystem,
                                               std::string_view category) = 0;
};

}  // namespace sieveharbor::platform
