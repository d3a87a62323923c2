#!/usr/bin/env bash
# Builds the proxy alone as a release build in BUILD_DIR (kept between runs, so later runs only
# rebuild what changed) and checks it with check_hardening.sh --fortify. For debug builds, whose
# unoptimised code cannot carry fortified calls.
# Usage: release_build.sh SOURCE_DIR BUILD_DIR GENERATOR CXX_COMPILER
set -euo pipefail
source_dir=$1 build_dir=$2 generator=$3 compiler=$4
here=$(dirname "$0")

start=$(date +%s)
# One job: the test suite may share the machine with other builds.
cmake -S "$source_dir" -B "$build_dir" -G "$generator" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_COMPILER="$compiler" -DSIEVEHARBOR_TESTS=OFF -DSIEVEHARBOR_BENCH=OFF >/dev/null
cmake --build "$build_dir" --target sieveharbor-proxy -j 1 >"$build_dir/hardening-build.log" 2>&1 ||
    { cat "$build_dir/hardening-build.log" >&2; exit 1; }
echo "release build of sieveharbor-proxy: $(($(date +%s) - start)) s"
bash "$here/check_hardening.sh" --fortify "$build_dir/src/main/sieveharbor-proxy"
