// sieveharbor, the program of SieveHarbor.app: installs, enables and feeds the DNS proxy
// extension. What it does is decided in app/commands.h; here it only meets the process.

#import <Foundation/Foundation.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "app/apple/system_seam_apple.h"
#include "app/commands.h"

namespace {

// One line (or a block of lines) to a stream, at once: a progress line is read while the program
// waits.
void print(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    if (text.empty() || text.back() != '\n') {
        std::fputc('\n', stream);
    }
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    @autoreleasepool {
        const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        const sieveharbor::app::Console console{[](std::string_view line) { print(stdout, line); },
                                                [](std::string_view line) { print(stderr, line); }};
        const auto system = sieveharbor::app::apple::makeSystemSeam();
        return sieveharbor::app::runProgram(args, *system, console, SIEVEHARBOR_VERSION);
    }
}
