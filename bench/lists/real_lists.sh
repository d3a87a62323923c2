#!/usr/bin/env bash
# sieveharbor-list on real lists and on a big generated one. On a Debian 12 machine, as root:
#
#   bash bench/lists/real_lists.sh
#
# Installs what is missing from Debian (the uBlock Origin package, whose filter assets are the
# real lists), builds sieveharbor-list in release mode (build/lists-release, or BENCH_BUILD_DIR),
# then converts
#   1. the whole of EasyList, EasyPrivacy and the badware list as Debian ships them, and
#   2. a generated hosts file of 1,000,000 lines,
# printing each summary with the wall time and peak memory (/usr/bin/time). docs/lists.md holds
# the figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
if [ "$(id -u)" -ne 0 ]; then
    echo "real_lists.sh: run as root (it installs packages)" >&2
    exit 2
fi

source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" webext-ublock-origin-firefox time

BUILD=${BENCH_BUILD_DIR:-$ROOT/build/lists-release}
if [ -z "${BENCH_BUILD_DIR:-}" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIEVEHARBOR_TESTS=OFF \
        -DSIEVEHARBOR_BENCH=OFF >/dev/null
fi
cmake --build "$BUILD" --target sieveharbor-list
LIST=$BUILD/src/list_tool/sieveharbor-list
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Runs the converter with its arguments; prints its summary, then its time and peak memory.
convert() {
    /usr/bin/time -f 'time: %e s wall, %U s user, %S s system; peak memory: %M KiB' \
        "$LIST" -o "$WORK/out.txt" "$@" 2>"$WORK/err" || { cat "$WORK/err" >&2; exit 1; }
    sed "s|$WORK/||g" "$WORK/err"
}

# The same assets bench/peers/run.sh takes its "real" list from, here read whole.
mapfile -t assets < <(dpkg -L webext-ublock-origin-firefox |
    grep -E '/assets/(thirdparties/easylist/easy(list|privacy)|ublock/badware.*)\.txt$' | sort)
[ "${#assets[@]}" -eq 3 ] || { echo "expected 3 filter assets, found: ${assets[*]}" >&2; exit 1; }
echo "== EasyList, EasyPrivacy and badware ($(dpkg-query -W -f='${Package} ${Version}' webext-ublock-origin-firefox))"
(cd "$(dirname "${assets[0]}")/../.." && convert "${assets[@]#"$PWD/"}")

echo "== a generated hosts file of 1,000,000 lines"
awk 'BEGIN {
    print "127.0.0.1 localhost"
    print "::1 localhost ip6-localhost ip6-loopback"
    for (i = 2; i < 1000000; i++) printf "0.0.0.0 host%d.zone%d.example\n", i, i % 997
}' >"$WORK/hosts"
convert "$WORK/hosts"
