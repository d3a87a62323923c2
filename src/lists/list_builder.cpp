#include "lists/list_builder.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "text/line_rules.h"
#include "text/text.h"

namespace sieveharbor::lists {
namespace {

std::size_t indexOf(Skip reason) {
    return static_cast<std::size_t>(reason);
}

// True when a parent of the entry is in the set.
bool hasParentIn(const blocklist::DomainSet& set, std::string_view entry) {
    const auto dot = entry.find('.');
    return dot != std::string_view::npos && set.containsNameOrParent(entry.substr(dot + 1));
}

// Sorts byte by byte. Most comparisons are settled by the first eight bytes, read once into a
// number (big-endian, so numbers order as bytes do; names hold no zero byte, so padding with
// zeros keeps a shorter name first), which halves the time of sorting a million names.
void sortBytewise(std::vector<std::string_view>& entries) {
    struct Keyed {
        std::uint64_t prefix;
        std::string_view text;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(entries.size());
    for (const auto entry : entries) {
        std::uint64_t prefix = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            prefix = (prefix << 8) | (i < entry.size() ? static_cast<unsigned char>(entry[i]) : 0U);
        }
        keyed.push_back({prefix, entry});
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return a.prefix != b.prefix ? a.prefix < b.prefix : a.text < b.text;
    });
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        entries[i] = keyed[i].text;
    }
}

// A path fit for a "#" line and a terminal: control characters, line ends and bytes of text that
// is not UTF-8 become "?", so that no part of a name can start a line of its own.
std::string printable(std::string_view name) {
    const bool wellFormed = text::isWellFormedUtf8(name);
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const std::size_t newline = text::newlineLengthAt(name, i);
        if (byte < 0x20 || byte == 0x7F || newline != 0 || (byte >= 0x80 && !wellFormed)) {
            out.push_back('?');
            i += std::max<std::size_t>(newline, 1);
            continue;
        }
        out.push_back(name[i++]);
    }
    return out;
}

std::string joinedInputs(const ListCounts& counts, bool allow) {
    std::string out;
    for (const auto& input : counts.inputs) {
        if (input.allow == allow) {
            out += (out.empty() ? "" : ", ") + printable(input.name);
        }
    }
    return out;
}

// "10 wildcards widened; left out: 20 duplicates, 30 beneath another entry, 2 allowed", with the
// parts that are zero left out.
std::string leftOut(const FinishedList& list) {
    std::string parts;
    for (const auto& [count, what] : {std::pair{list.duplicates, " duplicates"},
                                      std::pair{list.beneathOthers, " beneath another entry"},
                                      std::pair{list.allowed, " allowed"}}) {
        if (count != 0) {
            parts += (parts.empty() ? "left out: " : ", ") + std::to_string(count) + what;
        }
    }
    if (list.counts.widened != 0) {
        parts.insert(0, std::to_string(list.counts.widened) + " wildcards widened" +
                            (parts.empty() ? "" : "; "));
    }
    return parts;
}

}  // namespace

ListBuilder::ListBuilder(std::size_t expectedBytes, blocklist::PageAdvice advice)
    : names_(expectedBytes, blocklist::DomainSet::kMaxArenaBytes,
             blocklist::DomainSetBuilder::randomSeed(), advice),
      allowed_(0, blocklist::DomainSet::kMaxArenaBytes, blocklist::DomainSetBuilder::randomSeed(),
               advice) {}

void ListBuilder::beginInput(std::string name, bool allow) {
    counts_.inputs.push_back({std::move(name), allow, 0, 0});
}

bool ListBuilder::addLine(std::string_view text) {
    if (counts_.inputs.empty()) {
        beginInput("-");
    }
    auto& input = counts_.inputs.back();
    ++input.lines;
    // The counts tell what became of the lists; an allow list's lines only give names.
    const Line line = recogniseLine(text);
    if (line.kind != LineKind::names) {
        if (!input.allow) {
            ++(line.kind == LineKind::comment ? counts_.comments
                                              : counts_.skipped[indexOf(line.skip)]);
        }
        return true;
    }
    bool anyName = false;
    auto names = line.names;
    for (auto raw = takeName(names, line.separator); !raw.empty();
         raw = takeName(names, line.separator)) {
        anyName = true;
        const auto verdict = normaliseName(raw, scratch_);
        if (input.allow) {
            input.names += !verdict.skipped;
            if (!verdict.skipped && !allowed_.add(scratch_)) {
                return false;
            }
            continue;
        }
        if (verdict.skipped) {
            ++counts_.skipped[indexOf(*verdict.skipped)];
            continue;
        }
        counts_.widened += verdict.widened;
        ++input.names;
        ++namesAdded_;
        if (!names_.add(scratch_)) {
            return false;
        }
    }
    if (!anyName && !input.allow) {
        ++counts_.skipped[indexOf(Skip::unrecognised)];  // "address=///"
    }
    return true;
}

void ListBuilder::addLineTooLong() {
    if (counts_.inputs.empty()) {
        beginInput("-");
    }
    ++counts_.inputs.back().lines;
    if (!counts_.inputs.back().allow) {
        ++counts_.skipped[indexOf(Skip::lineTooLong)];
    }
}

FinishedList ListBuilder::finish(bool minimise) && {
    FinishedList list;
    list.counts = std::move(counts_);
    list.set = std::move(names_).finish();
    const auto allowed = std::move(allowed_).finish();
    list.duplicates = namesAdded_ - list.set.size();
    list.entries.reserve(list.set.size());
    list.set.forEach([&](std::string_view entry) {
        if (allowed.containsNameOrParent(entry)) {
            ++list.allowed;
        } else if (minimise && hasParentIn(list.set, entry)) {
            ++list.beneathOthers;
        } else {
            list.entries.push_back(entry);
        }
    });
    sortBytewise(list.entries);

    // The highest parent entry that stays is the one in the written list, minimised or not.
    allowed.forEach([&](std::string_view name) {
        for (auto dot = name.rfind('.'); dot != std::string_view::npos && dot > 0;
             dot = name.rfind('.', dot - 1)) {
            const auto parent = name.substr(dot + 1);
            if (list.set.contains(parent) && !allowed.containsNameOrParent(parent)) {
                list.warnings.push_back({std::string(name), std::string(parent)});
                break;
            }
        }
    });
    std::sort(list.warnings.begin(), list.warnings.end(),
              [](const auto& a, const auto& b) { return a.allowed < b.allowed; });
    return list;
}

std::string renderList(const FinishedList& list, std::string_view program) {
    std::string out =
        "# Made by " + std::string(program) + " from: " + joinedInputs(list.counts, false) + "\n";
    if (const auto allow = joinedInputs(list.counts, true); !allow.empty()) {
        out += "# Allowed names from: " + allow + "\n";
    }
    const auto details = leftOut(list);
    out += "# " + std::to_string(list.entries.size()) + " entries" +
           (details.empty() ? "" : " (" + details + ")") + "\n";
    std::size_t bytes = out.size();
    for (const auto entry : list.entries) {
        bytes += entry.size() + 1;
    }
    out.reserve(bytes);
    for (const auto entry : list.entries) {
        out.append(entry);
        out.push_back('\n');
    }
    return out;
}

std::string summaryText(const FinishedList& list, std::string_view program) {
    const std::string prefix = std::string(program) + ": ";
    std::string out;
    for (const auto& input : list.counts.inputs) {
        out += prefix + printable(input.name) + (input.allow ? " (allowed names): " : ": ") +
               std::to_string(input.lines) + " lines, " + std::to_string(input.names) + " names\n";
    }
    const auto details = leftOut(list);
    out += prefix + std::to_string(list.entries.size()) + " entries written" +
           (details.empty() ? "" : "; " + details) + "\n";
    if (list.counts.comments != 0) {
        out += prefix + std::to_string(list.counts.comments) + " comments and blank lines\n";
    }
    for (std::size_t reason = 0; reason < kSkipReasons; ++reason) {
        if (const auto count = list.counts.skipped[reason]; count != 0) {
            out += prefix + "skipped " + std::to_string(count) + " " +
                   std::string(describe(static_cast<Skip>(reason))) + "\n";
        }
    }
    for (const auto& warning : list.warnings) {
        out += prefix + "warning: the allowed name " + warning.allowed +
               " stays blocked by the entry " + warning.blockedBy + "\n";
    }
    return out;
}

}  // namespace sieveharbor::lists
