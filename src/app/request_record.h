#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "app/system_seam.h"

namespace sieveharbor::app {

// What one request's delegate is told, kept here so that the delegate only passes each call on.
// The first end (finished, failed, properties found) is the request's; a call after it changes
// nothing.
class RequestRecord {
  public:
    void finished(bool afterReboot) {
        end({afterReboot ? RequestOutcome::Kind::willCompleteAfterReboot
                         : RequestOutcome::Kind::completed,
             {}});
    }
    void failed(SystemError error) { end({RequestOutcome::Kind::failed, std::move(error)}); }
    void foundProperties(std::vector<ExtensionProperties> found) {
        if (!ended_) {
            found_ = std::move(found);
        }
        end({RequestOutcome::Kind::completed, {}});
    }

    bool ended() const { return ended_; }
    // Failed until the request has ended.
    const RequestOutcome& outcome() const { return outcome_; }
    PropertiesOutcome properties() const { return {outcome_, found_}; }

  private:
    void end(RequestOutcome outcome) {
        if (!ended_) {
            outcome_ = std::move(outcome);
            ended_ = true;
        }
    }

    bool ended_ = false;
    RequestOutcome outcome_;
    std::optional<std::vector<ExtensionProperties>> found_;
};

}  // namespace sieveharbor::app
