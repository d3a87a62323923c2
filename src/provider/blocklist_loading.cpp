#include <memory>

#include "blocklist/blocklist_text.h"
#include "provider/dns_proxy_provider.h"
#include "text/text.h"

namespace sieveharbor::provider {
namespace {

// The console user when the login window holds the console, not a person.
constexpr std::string_view kLoginWindowUser = "loginwindow";

}  // namespace

std::optional<std::string> DNSProxyProvider::blocklistPath() const {
    if (fixedBlocklistPath_) {
        return fixedBlocklistPath_;
    }
    auto user = seams_.consoleUser->consoleUserName();
    // Equality of text is canonical equivalence, and it is case-sensitive: "LoginWindow" is a
    // user whose file is looked for.
    if (!user || user->empty() || text::toNfc(*user) == kLoginWindowUser) {
        return std::nullopt;
    }
    // The name goes in as the system gives it; the folder is fixed, not the user's home.
    return "/Users/" + *user + "/Library/Application Support/SieveHarbor/blocklist.txt";
}

void DNSProxyProvider::loadBlocklist() {
    const auto path = blocklistPath();
    if (!path || !seams_.fileSystem->fileExistsAtPath(*path)) {
        return;
    }
    // Parsed as it is read: the text is never whole in memory beside the old and the new set.
    std::optional<blocklist::BlocklistParser> parser;
    const bool read = seams_.fileSystem->readUtf8FileInPieces(
        *path, [&parser](std::string_view piece, std::size_t expectedBytes) {
            if (!parser) {
                parser.emplace(expectedBytes);
            }
            parser->feed(piece);
        });
    if (!read) {
        return;
    }
    auto set = parser ? std::move(*parser).finish() : blocklist::DomainSet();
    if (!set) {
        return;  // more than one set can hold: the old one stays rather than a part of the new
    }
    // Built aside with no lock held; readers keep judging by the old set until this one store.
    blockedDomains.publish(std::make_shared<const blocklist::DomainSet>(std::move(*set)));
}

}  // namespace sieveharbor::provider
