#pragma once

// What the sieveharbor program does, as steps over the system seam: each command says what it
// did on `out`, and each failure is one line on `err` saying what to do about it, with exit
// status 1.

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/system_seam.h"

namespace sieveharbor::app {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// How long a request may wait: long enough for a person to find the approval in the system's
// settings, short enough that a script using the program is not held for ever.
inline constexpr std::chrono::seconds kRequestBound{300};

// The configuration's name in the system's network settings.
inline constexpr std::string_view kConfigurationDescription = "SieveHarbor DNS filter";

struct Console {
    std::function<void(std::string_view line)> out;
    std::function<void(std::string_view line)> err;
};

// Negative, zero or positive as version a is older than, equal to or newer than b: the short
// versions compared number by number, then the bundle versions.
int compareVersions(const ExtensionVersion& a, const ExtensionVersion& b);

// The whole program: parses args (without the program name) and runs the command.
int runProgram(std::span<const std::string_view> args, SystemSeam& system, const Console& console,
               std::string_view version);

// Activates the extension and enables the DNS proxy configuration, its provider configuration
// naming `upstreams` (each as parseUpstream reads it), or none for the extension's default.
int install(SystemSeam& system, const Console& console,
            const std::vector<std::string>& upstreams = {});
int uninstall(SystemSeam& system, const Console& console);
int status(SystemSeam& system, const Console& console);
int reload(SystemSeam& system, const Console& console);
int writeList(const Command& command, SystemSeam& system, const Console& console);

}  // namespace sieveharbor::app
