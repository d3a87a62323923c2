#include "app/user_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "list_tool/list_files.h"

namespace sieveharbor::app {

namespace {

std::error_code giveTo(const std::string& path, unsigned uid, unsigned gid) {
    if (::geteuid() != 0 || ::chown(path.c_str(), uid, gid) == 0) {
        return {};
    }
    return {errno, std::generic_category()};
}

}  // namespace

std::error_code makeUserFolders(const std::string& path, unsigned uid, unsigned gid) {
    // Each prefix ending before a '/' in turn, then the whole path.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (::mkdir(prefix.c_str(), 0755) == 0) {
            if (const auto error = giveTo(prefix, uid, gid)) {
                return error;
            }
        } else if (errno != EEXIST) {
            return {errno, std::generic_category()};
        }
        if (end == std::string::npos) {
            break;
        }
    }
    struct stat made {};
    if (::stat(path.c_str(), &made) != 0 || !S_ISDIR(made.st_mode)) {
        return std::make_error_code(std::errc::not_a_directory);
    }
    return {};
}

std::error_code replaceUserFile(const std::string& path, std::string_view content, unsigned uid,
                                unsigned gid) {
    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    if (const auto error = list_tool::writeAtomically(path, content)) {
        return error;
    }
    return existed ? std::error_code() : giveTo(path, uid, gid);
}

}  // namespace sieveharbor::app
