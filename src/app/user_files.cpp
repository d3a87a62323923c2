#include "app/user_files.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <new>
#include <vector>

#include "lists/list_files.h"

namespace sieveharbor::app {

namespace {

std::error_code lastError() {
    return {errno, std::generic_category()};
}

// getgrouplist takes gid_t on Linux and int on macOS: the array is passed as the type this
// host's declaration names, which has gid_t's size on both.
template <class Base, class Member>
int listGroups(int (*list)(const char*, Base, Member*, int*), const char* name, gid_t base,
               std::vector<gid_t>& groups, int& count) {
    static_assert(sizeof(Member) == sizeof(gid_t));
    return list(name, static_cast<Base>(base), reinterpret_cast<Member*>(groups.data()), &count);
}

// The user's groups, their own gid first, as many as a process may hold.
std::vector<gid_t> groupsOf(const UserAccount& user) {
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (listGroups(&::getgrouplist, user.name.c_str(), user.gid, groups, count) < 0 &&
           count > static_cast<int>(groups.size())) {
        groups.resize(static_cast<std::size_t>(count));
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    if (groups.empty()) {
        groups.push_back(user.gid);  // getgrouplist lists it first
    }
    const long most = ::sysconf(_SC_NGROUPS_MAX);
    if (most > 0 && groups.size() > static_cast<std::size_t>(most)) {
        groups.resize(static_cast<std::size_t>(most));
    }
    return groups;
}

// Runs `work` as `user`: in this process when it is not root; else in a child that drops to the
// user's groups, gid and uid first, its error coming back through a pipe. The groups are looked
// up before the fork, so that the child asks the directory services nothing.
std::error_code asUser(const UserAccount& user, const std::function<std::error_code()>& work) {
    if (::geteuid() != 0) {
        return work();
    }
    const auto groups = groupsOf(user);
    int ends[2];
    if (::pipe(ends) != 0) {
        return lastError();
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const auto error = lastError();
        ::close(ends[0]);
        ::close(ends[1]);
        return error;
    }
    if (child == 0) {
        ::close(ends[0]);
        int result = 0;
        if (::setgroups(static_cast<int>(groups.size()), groups.data()) != 0 ||
            ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0) {
            result = errno;
        } else {
            // Nothing may leave the child but its word: an exception let out would run the
            // rest of the program a second time.
            try {
                result = work().value();
            } catch (const std::bad_alloc&) {
                result = ENOMEM;
            } catch (...) {
                result = EIO;
            }
        }
        [[maybe_unused]] const auto wrote = ::write(ends[1], &result, sizeof result);
        ::_exit(0);
    }
    ::close(ends[1]);
    int result = 0;
    ssize_t got = 0;
    do {
        got = ::read(ends[0], &result, sizeof result);
    } while (got < 0 && errno == EINTR);
    ::close(ends[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (got != static_cast<ssize_t>(sizeof result)) {
        return std::make_error_code(std::errc::io_error);  // the child ended without a word
    }
    return {result, std::generic_category()};
}

std::error_code makeFolders(const std::string& path) {
    // Each prefix ending before a '/' in turn, then the whole path.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        struct stat found {};
        const bool folder = ::stat(prefix.c_str(), &found) == 0 && S_ISDIR(found.st_mode);
        if (!folder && ::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            return lastError();
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

}  // namespace

std::error_code makeUserFolders(const std::string& path, const UserAccount& user) {
    return asUser(user, [&] { return makeFolders(path); });
}

std::error_code replaceUserFile(const std::string& path, std::string_view content,
                                const UserAccount& user) {
    return asUser(user, [&] { return lists::writeAtomically(path, content); });
}

}  // namespace sieveharbor::app
