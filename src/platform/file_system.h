#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sieveharbor::platform {

// The two file operations the blocklist loader needs. Called from any thread, synchronously.
class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // True when anything (file, folder, ...) exists at the path.
    virtual bool fileExistsAtPath(const std::string& path) = 0;
    // The whole file as text, or nothing when it cannot be opened or read, or when any byte of it
    // is not well-formed UTF-8: text is all or nothing.
    virtual std::optional<std::string> readUtf8File(const std::string& path) = 0;

    // Receives a file's text piece by piece, in order; expectedBytes is the file's size when it
    // was opened, a hint only. Returns false to stop the read.
    using TextPieces = std::function<bool(std::string_view piece, std::size_t expectedBytes)>;
    enum class ReadStatus {
        complete,
        unreadable,        // cannot be opened or read, or not a regular file
        notUtf8,           // a byte that is not well-formed UTF-8
        changedWhileRead,  // another file was put in place, or this one written, during the read
        stopped,           // consume asked to stop
    };
    // The same text as readUtf8File, handed over in pieces that each end on a character boundary,
    // so that a big file is never whole in memory. Unless the read is complete, the pieces passed
    // are to be thrown away; a read that saw the file change may be tried again.
    virtual ReadStatus readUtf8FileInPieces(const std::string& path, const TextPieces& consume) {
        const auto text = readUtf8File(path);
        if (!text) {
            return ReadStatus::unreadable;
        }
        return consume(*text, text->size()) ? ReadStatus::complete : ReadStatus::stopped;
    }
};

}  // namespace sieveharbor::platform
