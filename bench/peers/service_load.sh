#!/usr/bin/env bash
# Sustained load on the running proxy: dnsperf for 20 seconds at fixed rates, first with every
# query blocked (a million-entry list), then with every query relayed to a local stub upstream.
# Reports, for each rate, the queries lost and the median and 99th-percentile latency; the
# highest rate with nothing lost is the one to quote. As root, on a machine with 2 CPUs:
#
#   bash bench/peers/service_load.sh [BLOCKED_RATES] [FORWARDED_RATES]
#   (default "40000 80000 100000" and "8000 12000 16000"; quoted lists of queries per second)
#
# The proxy runs on CPU 0, dnsperf and the stub on CPU 1, on 127.0.0.1 only; every process is
# bounded in time and stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" dnsperf
BLOCKED_RATES=(${1:-40000 80000 100000})
FORWARDED_RATES=(${2:-8000 12000 16000})
SECONDS_PER_RUN=20
PORT=15453
STUB_PORT=15499
BUILD=build/peers-release
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target sieveharbor-proxy bench-stub-upstream bench-make-lists \
    bench-probe >/dev/null
BIN=$BUILD/bench/peers
WORK=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

"$BIN/bench-make-lists" synthetic 1000000 "$WORK/list.txt"
"$BIN/bench-make-lists" queries "$WORK/list.txt" "$WORK/blocked.q" "$WORK/forwarded.q"
taskset -c 1 "$BIN/bench-stub-upstream" --port "$STUB_PORT" --seconds 600 &
pids+=($!)
taskset -c 0 timeout 600 "$BUILD/src/main/sieveharbor-proxy" --listen "127.0.0.1:$PORT" \
    --upstream "127.0.0.1:$STUB_PORT" --blocklist "$WORK/list.txt" &
pids+=($!)
last=$(tail -n 1 "$WORK/list.txt")
"$BIN/bench-probe" "$PORT" "$last" blocked 30 >/dev/null

run() { # kind queries rate
    local out=$WORK/$1.$3
    timeout $((SECONDS_PER_RUN + 30)) taskset -c 1 dnsperf -s 127.0.0.1 -p "$PORT" -d "$2" \
        -l "$SECONDS_PER_RUN" -Q "$3" -q 100 -t 2 -b 4096 -v >"$out" 2>&1 || true
    local sent lost
    sent=$(awk '/Queries sent:/ { print $3; exit }' "$out")
    lost=$(awk '/Queries lost:/ { print $3; exit }' "$out")
    awk '$1 == ">" { print $NF * 1e6 }' "$out" | sort -n >"$out.lat"
    local n p50 p99
    n=$(wc -l <"$out.lat")
    p50=$(awk -v n="$n" 'NR == int(n * 0.50 + 0.999) { print; exit }' "$out.lat")
    p99=$(awk -v n="$n" 'NR == int(n * 0.99 + 0.999) { print; exit }' "$out.lat")
    printf '%-9s %7s q/s for %ss: sent %s, lost %s, p50 %s us, p99 %s us\n' \
        "$1" "$3" "$SECONDS_PER_RUN" "$sent" "$lost" "${p50%.*}" "${p99%.*}"
}
for rate in "${BLOCKED_RATES[@]}"; do run blocked "$WORK/blocked.q" "$rate"; done
for rate in "${FORWARDED_RATES[@]}"; do run forwarded "$WORK/forwarded.q" "$rate"; done
