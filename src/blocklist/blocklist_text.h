#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "blocklist/domain_set.h"
#include "text/line_splitter.h"

namespace sieveharbor::blocklist {

// The bounds of one list. Lowered only by tests and fuzzing, to reach them with small texts.
struct ParseLimits {
    std::size_t maxArenaBytes = DomainSet::kMaxArenaBytes;
    std::size_t maxLineBytes = 65535;
};

// Turns the text of a blocklist file into a set. Lines end at any of LF, VT, FF, CR, NEL,
// U+2028 and U+2029 (each on its own, so CR LF leaves an empty line between them); each line is
// trimmed of tab and Unicode space separators (Zs) at both ends, lower-cased, and dropped when
// empty or starting with "#". A UTF-8 byte-order mark at the very start is removed. Equal
// entries collapse into one.
//
// Clients ask for a name in its IDNA ASCII form, so an entry written in Unicode ("bücher.example")
// also gives that form ("xn--bcher-kva.example"), and an entry with an "xn--" label its Unicode
// form; an entry IDNA refuses keeps only its own. A line of ASCII without "xn--" never meets IDNA.
//
// The text comes in pieces, in order, each ending on a character boundary, so a big file is
// never whole in memory; a line may run across pieces. A line longer than kMaxLineBytes refuses
// the list: no name is longer than a datagram, and a file of one endless line (a sparse file of
// zero bytes) must not take all memory. The text should be well-formed UTF-8 (the
// loader refuses any other file); ill-formed bytes are kept in entries as they are and never
// read out of bounds. Pure; one thread at a time.
class BlocklistParser {
  public:
    using Limits = ParseLimits;
    static constexpr std::size_t kMaxLineBytes = ParseLimits{}.maxLineBytes;

    // Why a list was refused whole.
    enum class Refusal { lineTooLong, tooBig };

    // expectedBytes, the whole text's size, sizes the set's arena; the set's big arrays get the
    // host's page advice (see DomainSetBuilder).
    explicit BlocklistParser(std::size_t expectedBytes, Limits limits = {},
                             PageAdvice advice = nullptr);

    // False once the list is refused: the rest of the text need not be read.
    bool feed(std::string_view piece);

    // The set of every entry, or nothing when the list is refused (see refusal()).
    std::optional<DomainSet> finish() &&;

    // Set once the list is refused: a line over kMaxLineBytes, or more text than one set holds
    // (4 GiB).
    std::optional<Refusal> refusal() const noexcept { return refusal_; }

  private:
    // False when the set has no room for the line's entry.
    bool takeLine(std::string_view line);
    // Adds the other IDNA forms of an entry, ASCII (`ascii`) or not; false when the set has no
    // room.
    bool addIdnaForms(const std::string& entry, bool ascii);

    DomainSetBuilder builder_;
    text::LineSplitter lines_;
    std::string scratch_;
    bool started_ = false;
    std::optional<Refusal> refusal_;
};

// The whole text at once.
std::optional<DomainSet> parseBlocklist(std::string_view text, PageAdvice advice = nullptr);

}  // namespace sieveharbor::blocklist
