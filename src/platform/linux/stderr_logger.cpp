#include "platform/linux/stderr_logger.h"

#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sieveharbor::platform::linux_host {

namespace {

class StderrLogger final : public platform::Logger {
  public:
    StderrLogger(bool debug, bool journal, std::string_view subsystem, std::string_view category)
        : debug_(debug), journal_(journal), subsystem_(subsystem), category_(category) {}

    bool isDebugEnabled() const override { return debug_; }

    void debug(std::string_view message) override {
        if (!debug_) {
            return;
        }
        std::string line(message);
        // One message, one line: a newline inside would split it into two entries.
        for (char& c : line) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        if (journal_ && sendToJournal(line)) {
            return;
        }
        line.push_back('\n');
        writeAll(line);
    }

  private:
    bool sendToJournal(const std::string& line) const {
        return ::sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=7",
                                 "SYSLOG_IDENTIFIER=sieveharbor-proxy", "SIEVEHARBOR_SUBSYSTEM=%s",
                                 subsystem_.c_str(), "SIEVEHARBOR_CATEGORY=%s", category_.c_str(),
                                 nullptr) >= 0;
    }

    static void writeAll(std::string_view text) {
        while (!text.empty()) {
            const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;  // stderr closed or full: a log line is not worth blocking for
            }
            text.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    const bool debug_;
    const bool journal_;
    const std::string subsystem_;
    const std::string category_;
};

}  // namespace

bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat info {};
    // systemd's own advice: trust the variable only when it names the file stderr still is.
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

StderrLoggerFactory::StderrLoggerFactory(bool debug)
    : debug_(debug), journal_(debug && stderrIsJournal()) {}

std::shared_ptr<platform::Logger> StderrLoggerFactory::makeLogger(std::string_view subsystem,
                                                                  std::string_view category) {
    return std::make_shared<StderrLogger>(debug_, journal_, subsystem, category);
}

}  // namespace sieveharbor::platform::linux_host
