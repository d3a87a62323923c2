#pragma once

#include <memory>
#include <string_view>

#include "platform/logger.h"

namespace sieveharbor::platform::linux_host {

// Loggers that write debug messages as single lines, and nothing at all unless debug is on.
//
// When stderr is connected to the journal (systemd sets JOURNAL_STREAM to the stream's device and
// inode), each message goes to the journal directly, with its subsystem and category as fields
// SIEVEHARBOR_SUBSYSTEM and SIEVEHARBOR_CATEGORY and priority debug. Otherwise the message text and
// a newline are written to stderr in one write.
class StderrLoggerFactory final : public platform::LoggerFactory {
  public:
    explicit StderrLoggerFactory(bool debug);

    std::shared_ptr<platform::Logger> makeLogger(std::string_view subsystem,
                                                 std::string_view category) override;

  private:
    bool debug_;
    bool journal_;
};

// True when JOURNAL_STREAM names the file that stderr is.
bool stderrIsJournal();

}  // namespace sieveharbor::platform::linux_host
