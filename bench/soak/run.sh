#!/usr/bin/env bash
# The soak: the release proxy for an hour under a steady mixed load of about 5,000 queries a
# second (UDP and TCP, blocked, relayed and malformed), against a loopback upstream that drops
# or holds back a few queries, with the list replaced every 10 s and SIGHUP every 30 s. On a
# Debian 12 machine, as root:
#
#   bash bench/soak/run.sh                  # an hour
#   bash bench/soak/run.sh --seconds 180    # a trial
#
# Options after the script's name go to soak.py (--seconds N, --rate Q, --out DIR). Installs
# what is missing from Debian, builds the release preset's proxy and the two bench programs,
# and writes soak.csv, soak.png, load.jsonl and proxy.log to build/soak/. Exit 0 when it
# passes, 1 with one line saying why when it does not (soak.py's header has the tolerances).
set -euo pipefail
cd "$(dirname "$0")/../.."

case "${1:-}" in
-h | --help)
    sed -n '2,14p' "$0"
    exit 0
    ;;
esac

source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" gnuplot-nox python3 procps

cmake --preset release >/dev/null
cmake --build --preset release -j 1 --target sieveharbor-proxy bench-stub-upstream bench-soak-load

# soak.py stops everything it started, on any exit; exec so that a Ctrl-C or a kill reaches it.
exec python3 bench/soak/soak.py --bin build/release "$@"
