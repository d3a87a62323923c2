#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "blocklist/domain_set.h"

namespace sieveharbor::blocklist {

// Turns the text of a blocklist file into a set. Lines end at any of LF, VT, FF, CR, NEL,
// U+2028 and U+2029 (each on its own, so CR LF leaves an empty line between them); each line is
// trimmed of tab and Unicode space separators (Zs) at both ends, lower-cased, and dropped when
// empty or starting with "#". A UTF-8 byte-order mark at the very start is removed. Equal
// entries collapse into one.
//
// The text comes in pieces, in order, each ending on a character boundary, so a big file is
// never whole in memory; a line may run across pieces. The text should be well-formed UTF-8 (the
// loader refuses any other file); ill-formed bytes are kept in entries as they are and never
// read out of bounds. Pure; one thread at a time.
class BlocklistParser {
  public:
    // expectedBytes, the whole text's size, sizes the set's arena (see DomainSetBuilder).
    explicit BlocklistParser(std::size_t expectedBytes,
                             std::size_t maxArenaBytes = DomainSet::kMaxArenaBytes);

    void feed(std::string_view piece);

    // The set of every entry, or nothing when the list is too big for one set (4 GiB of text).
    std::optional<DomainSet> finish() &&;

  private:
    void takeLine(std::string_view line);

    DomainSetBuilder builder_;
    std::string partialLine_;  // the last line of the pieces so far, when it has not ended
    std::string scratch_;
    bool started_ = false;
    bool complete_ = true;
};

// The whole text at once.
std::optional<DomainSet> parseBlocklist(std::string_view text);

}  // namespace sieveharbor::blocklist
