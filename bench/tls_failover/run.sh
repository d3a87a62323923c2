#!/usr/bin/env bash
# What losing a DNS-over-TLS connection costs (run.py says what is measured). On a Debian 12
# machine, as root:
#
#   bash bench/tls_failover/run.sh                    # about 11 minutes: the quiet run is 10
#   bash bench/tls_failover/run.sh --quiet-seconds 30 # a short look
#
# Installs what is missing, builds the proxy and the TLS stub in release mode
# (build/peers-release, as the peer comparison does) and writes the report to
# build/tls_failover/report.md.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" openssl python3
BUILD=${BENCH_BUILD_DIR:-build/peers-release}
if [ -z "${BENCH_BUILD_DIR:-}" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIEVEHARBOR_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" -j 2 --target sieveharbor-proxy bench-tls-stub
OUT=build/tls_failover
rm -rf "$OUT" && mkdir -p "$OUT"
status=0
python3 bench/tls_failover/run.py --proxy "$BUILD/src/main/sieveharbor-proxy" \
    --tls-stub "$BUILD/bench/peers/bench-tls-stub" --work "$OUT/work" "$@" >"$OUT/report.md" ||
    status=$?
cat "$OUT/report.md"
exit "$status"
