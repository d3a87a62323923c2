#pragma once

// The list's folder and file in a user's home, for the macOS seam. POSIX only, so it builds on
// both hosts.

#include <string>
#include <string_view>
#include <system_error>

namespace sieveharbor::app {

// Makes the folder and each missing parent (mode 0755). When the program runs as root (under
// sudo), each folder it makes is given to uid:gid, so that the user still owns their home.
std::error_code makeUserFolders(const std::string& path, unsigned uid, unsigned gid);

// Replaces the file in one step with its mode kept (list_tool::writeAtomically); a file made new
// by root is given to uid:gid.
std::error_code replaceUserFile(const std::string& path, std::string_view content, unsigned uid,
                                unsigned gid);

}  // namespace sieveharbor::app
