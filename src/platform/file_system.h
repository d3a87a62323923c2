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
    // was opened, a hint only.
    using TextPieces = std::function<void(std::string_view piece, std::size_t expectedBytes)>;
    // The same text as readUtf8File, handed over in pieces that each end on a character boundary,
    // so that a big file is never whole in memory. False exactly when readUtf8File would give
    // nothing; the pieces passed before then are to be thrown away.
    virtual bool readUtf8FileInPieces(const std::string& path, const TextPieces& consume) {
        const auto text = readUtf8File(path);
        if (text) {
            consume(*text, text->size());
        }
        return text.has_value();
    }
};

}  // namespace sieveharbor::platform
