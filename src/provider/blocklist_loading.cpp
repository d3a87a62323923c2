#include <chrono>
#include <memory>
#include <new>

#include "blocklist/blocklist_text.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::provider {
namespace {

// Reads of a file that changes under each of them before the load gives up until the next
// change is announced.
constexpr int kReadAttempts = 3;

using Outcome = LoadReport::Outcome;
using ReadStatus = platform::FileSystem::ReadStatus;

}  // namespace

std::optional<std::string> DNSProxyProvider::blocklistPath() const {
    if (fixedBlocklistPath_) {
        return fixedBlocklistPath_;
    }
    return seams_.consoleUser->blocklistPath();
}

void DNSProxyProvider::loadBlocklist() {
    // One load at a time: a load that read the file earlier never publishes over one that read
    // it later (the start-up load against one a change set off).
    const std::lock_guard serial(loadMutex_);
    const auto path = blocklistPath();
    if (!path || !seams_.fileSystem->fileExistsAtPath(*path)) {
        return;
    }
    const auto started = std::chrono::steady_clock::now();
    LoadReport report{*path};
    report.outcome = loadFrom(*path, report.entries);
    report.took = std::chrono::steady_clock::now() - started;
    if (report.outcome == LoadReport::Outcome::accepted) {
        context_.counters().reloadAccepted(report.took);
    } else {
        context_.counters().reloadRefused();
    }
    if (onLoad_) {
        onLoad_(report);
    }
}

LoadReport::Outcome DNSProxyProvider::loadFrom(const std::string& path, std::size_t& entries) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        try {
            // Parsed as it is read: the text is never whole in memory beside the old and the
            // new set.
            std::optional<blocklist::BlocklistParser> parser;
            const auto status = seams_.fileSystem->readUtf8FileInPieces(
                path, [this, &parser](std::string_view piece, std::size_t expectedBytes) {
                    if (!parser) {
                        parser.emplace(expectedBytes, blocklist::ParseLimits{}, listPageAdvice_);
                    }
                    return parser->feed(piece);
                });
            if (status == ReadStatus::changedWhileRead) {
                continue;
            }
            if (status == ReadStatus::unreadable) {
                return Outcome::unreadable;
            }
            if (status == ReadStatus::notUtf8) {
                return Outcome::notUtf8;
            }
            auto set = parser ? std::move(*parser).finish() : blocklist::DomainSet();
            if (!set) {
                // Refused whole: the old set stays rather than a part of the new.
                return parser->refusal() == blocklist::BlocklistParser::Refusal::lineTooLong
                           ? Outcome::lineTooLong
                           : Outcome::tooBig;
            }
            entries = set->size();
            // Built aside with no lock held by readers; they keep judging by the old set until
            // this one store.
            blockedDomains.publish(std::make_shared<const blocklist::DomainSet>(std::move(*set)));
            return Outcome::accepted;
        } catch (const std::bad_alloc&) {
            // A list bigger than the memory left: the old set, already built, stays.
            return Outcome::outOfMemory;
        }
    }
    return Outcome::keptChanging;
}

}  // namespace sieveharbor::provider
