#!/usr/bin/env bash
# The code's habits, checked: every C++ and Objective-C++ file of the tree as clang-format leaves
# it, and the sources of the Linux build clean under clang-tidy's checks (.clang-tidy). Needs the
# default preset's build folder for its compile commands (scripts/test.sh makes it). Two jobs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages clang-format clang-tidy
git ls-files -- '*.cpp' '*.h' '*.mm' | xargs clang-format --dry-run -Werror
echo "lint: every file is formatted"
[ -f build/default/compile_commands.json ] || { echo "lint: no build/default; run scripts/test.sh" >&2; exit 1; }
git ls-files -- 'src/*.cpp' | grep -v -e '^src/platform/apple/' -e '^src/extension/' -e '^src/app/apple/' |
    xargs -P2 -n4 clang-tidy -p build/default --quiet 2>&1 |
    { grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' || true; } |
    tee build/clang-tidy.txt
if grep -q -E 'warning:|error:' build/clang-tidy.txt; then
    echo "lint: clang-tidy found the above" >&2
    exit 1
fi
echo "lint: clang-tidy finds nothing"
