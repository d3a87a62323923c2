#pragma once

// Turns the lines of the lists a user has into one blocklist the proxy reads: every name
// recognised, normalised as the loader keeps it, deduplicated, taken out when an allow list says
// so, and by default minimised (an entry beneath another entry blocks nothing more). Pure: lines
// in, text out; one thread at a time.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "blocklist/domain_set.h"
#include "lists/line_format.h"

namespace sieveharbor::lists {

struct InputCounts {
    std::string name;  // as the caller names it
    bool allow = false;
    std::size_t lines = 0;
    std::size_t names = 0;  // names taken from it, duplicates included
};

struct ListCounts {
    std::vector<InputCounts> inputs;
    std::size_t widened = 0;                          // wildcards "*.x" taken as x
    std::size_t comments = 0;                         // comments, blank lines and headers
    std::array<std::size_t, kSkipReasons> skipped{};  // lines, or names of a names line
};

// An allowed name that a parent entry still blocks.
struct AllowWarning {
    std::string allowed;
    std::string blockedBy;
};

struct FinishedList {
    ListCounts counts;
    // Sorted byte by byte. Views into `set`'s text, which moves with it.
    std::vector<std::string_view> entries;
    std::size_t duplicates = 0;
    std::size_t beneathOthers = 0;  // left out by minimising
    std::size_t allowed = 0;        // left out as equal to or beneath an allowed name
    std::vector<AllowWarning> warnings;
    blocklist::DomainSet set;  // every distinct name
};

class ListBuilder {
  public:
    // The hint, the size of the inputs in bytes, sizes the name store up front; its big arrays
    // get the host's page advice (see blocklist::LargePageAllocator).
    explicit ListBuilder(std::size_t expectedBytes = 0, blocklist::PageAdvice advice = nullptr);

    // The lines that follow belong to this input: a list, or an allow list whose names come out.
    void beginInput(std::string name, bool allow = false);

    // One line of the current input, without its line feed. False when the names no longer fit
    // in one set (4 GiB of them): the list would not be whole.
    bool addLine(std::string_view line);
    // A line too long to be any rule, counted but not read.
    void addLineTooLong();

    // The finished list; minimise leaves out every entry beneath another.
    FinishedList finish(bool minimise) &&;

  private:
    blocklist::DomainSetBuilder names_;
    blocklist::DomainSetBuilder allowed_;
    ListCounts counts_;
    std::size_t namesAdded_ = 0;
    std::string scratch_;
};

// The blocklist file: "#" lines naming the program, the sources and the counts, then one entry a
// line.
std::string renderList(const FinishedList& list, std::string_view program);

// What the run did, for stderr: lines read per input, entries written, what was left out and
// skipped by reason, and a line for each allowed name a parent entry still blocks. Lines end in
// "\n"; each begins with the program's name.
std::string summaryText(const FinishedList& list, std::string_view program);

}  // namespace sieveharbor::lists
