#pragma once

// The files the list converter reads and writes.

#include <string>
#include <string_view>
#include <system_error>

#include "lists/list_builder.h"

namespace sieveharbor::lists {

// Reads a file, or standard input for "-", into the builder a line at a time, so a big list is
// never whole in memory. A line longer than any rule (65,535 bytes, the loader's bound) is
// counted as too long and not kept, so an endless line cannot take all memory. An error of the
// system (no such file, a folder, a failed read) is returned; `full` is set when the builder has
// no room for more names.
std::error_code readInto(const std::string& path, ListBuilder& builder, bool& full);

// Replaces the file at `path` with `content` in one step: the text goes to a temporary file in
// the same folder, reaches the disk, and is renamed over the old file, so a reader (the proxy
// reloading) sees the old list or the new one, never a part. The new file has the mode of the
// one it replaces, 0644 when there was none, whatever the umask, and its owner and group as far
// as this user may set them. A symbolic link at `path` is kept and its target replaced. On
// failure nothing is left behind and the old file is as it was.
std::error_code writeAtomically(const std::string& path, std::string_view content);

// Writes all of `content` to a descriptor (standard output).
std::error_code writeAll(int fd, std::string_view content);

}  // namespace sieveharbor::lists
