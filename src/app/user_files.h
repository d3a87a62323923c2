#pragma once

// The list's folder and file in a user's home, for the macOS seam. POSIX only, so it builds on
// both hosts.
//
// Run as root (under sudo), both do their work in a child process that has dropped to the user's
// groups, gid and uid before it touches the home. Everything in a home is the user's to change,
// links included: root following one would make, replace or chown whatever file it points to.
// As the user, a link leads only where the user could write anyway, and what is made is theirs.

#include <string>
#include <string_view>
#include <system_error>

#include "app/system_seam.h"

namespace sieveharbor::app {

// Makes the folder and each missing parent (mode 0755 less the umask), as `user`.
std::error_code makeUserFolders(const std::string& path, const UserAccount& user);

// Replaces the file in one step with its mode kept (lists::writeAtomically), as `user`.
std::error_code replaceUserFile(const std::string& path, std::string_view content,
                                const UserAccount& user);

}  // namespace sieveharbor::app
