#pragma once

// Cuts text that comes in pieces into lines, for the readers of list files. Header only: the
// blocklist loader runs it over every byte, and the calls to its handlers must inline.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "text/line_rules.h"

namespace sieveharbor::text {

// A line may run across pieces; it is gathered until it ends. A line longer than maxLineBytes
// (its newline not counted) is never gathered: it is reported once, as soon as it passes the
// bound, and the rest of it is dropped, so that a file of one endless line cannot take all
// memory. Pieces must end on character boundaries when every newline counts. One thread at a
// time.
class LineSplitter {
  public:
    enum class Ends : std::uint8_t {
        lineFeed,    // LF alone: a CR before it stays in the line
        anyNewline,  // each character of newlineLengthAt on its own
    };

    LineSplitter(std::size_t maxLineBytes, Ends ends) : maxLineBytes_(maxLineBytes), ends_(ends) {}

    // Calls onLine(std::string_view) for every line the piece ends, and onTooLong() for a line
    // that passes the bound. Either returns false to stop at once; feed then returns false and
    // the text should not be fed further.
    template <class OnLine, class OnTooLong>
    bool feed(std::string_view piece, OnLine&& onLine, OnTooLong&& onTooLong) {
        std::size_t start = 0;
        for (;;) {
            std::size_t width = 0;
            const std::size_t end = nextEnd(piece, start, width);
            const std::string_view body = piece.substr(start, end - start);
            if (!tooLong_ && partial_.size() + body.size() > maxLineBytes_) {
                tooLong_ = true;
                partial_ = std::string();  // its memory too
                if (!onTooLong()) {
                    return false;
                }
            }
            if (width == 0) {
                if (!tooLong_) {
                    partial_.append(body);
                }
                return true;
            }
            bool go = true;
            if (tooLong_) {
                tooLong_ = false;
            } else if (partial_.empty()) {
                go = onLine(body);
            } else {
                partial_.append(body);
                go = onLine(std::string_view(partial_));
                partial_.clear();
            }
            if (!go) {
                return false;
            }
            start = end + width;
        }
    }

    // Calls onLine for the last line when the text does not end with a newline and that line is
    // neither empty nor too long; returns what onLine did, or true.
    template <class OnLine>
    bool finish(OnLine&& onLine) {
        if (tooLong_ || partial_.empty()) {
            return true;
        }
        const bool go = onLine(std::string_view(partial_));
        partial_.clear();
        return go;
    }

  private:
    // Where the next line ending at or after `from` starts, and its width; the piece's size and
    // 0 when none does.
    std::size_t nextEnd(std::string_view piece, std::size_t from, std::size_t& width) const {
        if (ends_ == Ends::lineFeed) {
            const void* found = from < piece.size()
                                    ? std::memchr(piece.data() + from, '\n', piece.size() - from)
                                    : nullptr;
            if (found == nullptr) {
                return piece.size();
            }
            width = 1;
            return static_cast<std::size_t>(static_cast<const char*>(found) - piece.data());
        }
        for (std::size_t i = from; i < piece.size(); ++i) {
            if (const std::size_t length = newlineLengthAt(piece, i); length != 0) {
                width = length;
                return i;
            }
        }
        return piece.size();
    }

    std::size_t maxLineBytes_;
    Ends ends_;
    std::string partial_;   // the line the pieces so far have not ended
    bool tooLong_ = false;  // the current line has passed the bound: the rest of it is dropped
};

}  // namespace sieveharbor::text
