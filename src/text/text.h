#pragma once

// The text rules that names and blocklist entries follow: strict UTF-8, the Unicode default
// (locale-independent) lower-case mapping, and NFC so that canonically equivalent texts compare
// equal byte for byte. Pure functions: no state, no I/O; safe on any thread.

#include <optional>
#include <string>
#include <string_view>

namespace sieveharbor::text {

// True when every byte is below 0x80. Pure-ASCII text never needs ICU.
bool isAscii(std::string_view bytes) noexcept;

// Well-formed UTF-8 as the Unicode standard defines it: shortest forms only, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequences.
bool isWellFormedUtf8(std::string_view bytes) noexcept;

// A byte that continues a UTF-8 sequence (10xxxxxx): text is never cut before one.
constexpr bool isContinuationByte(char c) noexcept {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Maps A-Z to a-z and leaves every other byte alone.
constexpr char asciiLower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// What asciiLowerInPlace saw on its way: whether the text is all ASCII, and whether ASCII text
// holds a '-' (without one a name has no "xn--" label, see hasAceLabel). hyphen is false for text
// that is not ASCII.
struct AsciiScan {
    bool ascii = true;
    bool hyphen = false;
};

// asciiLower on every byte, eight bytes at a time, with the ASCII test and the search for a '-'
// in the same pass: a line of a list costs one pass, not three.
AsciiScan asciiLowerInPlace(std::string& text) noexcept;

// ICU counts text in int32_t: longer text is never handed to it, and is treated as ill-formed.
constexpr bool fitsIcu(std::string_view utf8) noexcept {
    return utf8.size() <= 0x7FFFFFFF;
}

// The Unicode default lower-case mapping (full mapping, root locale). Input must be well-formed
// UTF-8; ill-formed input is only ASCII-lowered, since it cannot be mapped as text.
std::string toLower(std::string_view utf8);

// Unicode Normalization Form C. Ill-formed input is returned unchanged.
std::string toNfc(std::string_view utf8);

// NFC of the lower-case mapping: the one form in which blocklist entries are kept and names are
// looked up, so that byte equality of two canonical forms is canonical equivalence of the texts.
std::string canonicalLower(std::string_view utf8);

// The IDNA forms of a domain name, by UTS #46 nontransitional processing with CheckBidi and
// CheckJoiners on and the STD3 rules off: the ASCII form clients send ("xn--bcher-kva.example")
// and the Unicode form ("bücher.example"). Nothing when IDNA refuses the name (an error in any
// label, or ill-formed UTF-8). The form may equal the name itself.
std::optional<std::string> idnaToAscii(std::string_view utf8);
std::optional<std::string> idnaToUnicode(std::string_view utf8);

// True when a label of `name` begins with "xn--" in any case: only such an ASCII name has a
// Unicode form of its own. Cheap enough for every line of a list.
bool hasAceLabel(std::string_view name) noexcept;

}  // namespace sieveharbor::text
