#!/usr/bin/env bash
# The peer comparison: SieveHarbor against dnsmasq, unbound and dnsdist, with a bare reflector as
# the ceiling. On a Debian 12 machine, as root:
#
#   bash bench/peers/run.sh            # the whole comparison, about 15 minutes on 2 cores
#   bash bench/peers/run.sh --quick    # one run of each, short loads: a few minutes
#   bash bench/peers/run.sh --servers=sieveharbor --before=DIR
#                                      # against another release build of the proxy (DIR holds
#                                      # src/main/sieveharbor-proxy), as "sieveharbor-before"
#   bash bench/peers/run.sh --failover-only
#                                      # only the first-of-two-upstreams-blackholed scenario
#   bash bench/peers/run.sh --tls-only # only the DNS-over-TLS upstream rows
#
# Installs what is missing from Debian, builds the proxy in release mode (build/peers-release),
# makes the lists, runs every server pinned to CPU 0 with dnsperf on CPU 1, all on loopback, and
# writes raw results, tables and charts to build/peers/ (docs/benchmarks.md has the method).
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD

QUICK=0
FAILOVER_ONLY=0
TLS_ONLY=0
SERVERS=(sieveharbor dnsmasq unbound dnsdist)
for arg in "$@"; do
    case $arg in
    --quick) QUICK=1 ;;
    --failover-only) FAILOVER_ONLY=1 ;;
    --tls-only) TLS_ONLY=1 ;;
    --servers=*) IFS=, read -r -a SERVERS <<<"${arg#--servers=}" ;;
    --before=*) BEFORE_PROXY=$(cd "${arg#--before=}" && pwd)/src/main/sieveharbor-proxy ;;
    -h | --help)
        sed -n '2,15p' "$0"
        exit 0
        ;;
    *)
        echo "run.sh: unknown argument '$arg' (try --help)" >&2
        exit 2
        ;;
    esac
done
if [ -n "${BEFORE_PROXY:-}" ]; then
    [ -x "$BEFORE_PROXY" ] || { echo "run.sh: no proxy at $BEFORE_PROXY" >&2; exit 2; }
    SERVERS+=(sieveharbor-before)
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "run.sh: run as root (it installs packages and reads other processes' /proc)" >&2
    exit 2
fi
if [ "$(nproc)" -lt 2 ]; then
    echo "run.sh: needs at least 2 CPUs (one for the server, one for the load)" >&2
    exit 2
fi

# ---- settings -------------------------------------------------------------------------------
PORT=15353            # the server under test
STUB_PORT=15399       # the stub upstream
SERVER_CPU=0
LOAD_CPU=1
RUNS=3
SECONDS_PER_LOAD=2    # each dnsperf measurement
OUTSTANDING=100       # closed loop: queries in flight
BLOCKED_RATE=20000    # fixed offered rates every server sustains (queries/s)
FORWARDED_RATE=10000
RELOAD_SECONDS=20
BLACKHOLE_PORT=15398  # the first upstream of the failover scenario, which answers nothing
FAILOVER_RATE=2000    # relayed queries a second offered there
FAILOVER_SECONDS=5
TLS_UPSTREAM=15397    # the TLS resolver of the TLS rows
TLS_STEADY_SECONDS=60 # the steady run whose handshakes are counted
LOAD_TIMEOUT=120      # the longest a server may take to load a list
LISTS=(syn10k real syn100k syn1M)
if [ "$QUICK" -eq 1 ]; then
    RUNS=1
    SECONDS_PER_LOAD=1
    RELOAD_SECONDS=5
    FAILOVER_SECONDS=3
    TLS_STEADY_SECONDS=10
    LISTS=(syn10k syn1M)
fi
OUT=$ROOT/build/peers
WORK=$OUT/work
# BENCH_BUILD_DIR: an existing release build folder to use instead of the benchmark's own.
BUILD=${BENCH_BUILD_DIR:-$ROOT/build/peers-release}
BIN=$BUILD/bench/peers
PROXY=$BUILD/src/main/sieveharbor-proxy
SERVER_LIFETIME=3600  # the reflector and the stub stop by themselves after this
RESULTS=$OUT/results.tsv

# ---- packages --------------------------------------------------------------------------------
source scripts/deps.sh
PEER_PACKAGES=(dnsmasq unbound dnsdist dnsperf gnuplot-nox python3 util-linux procps)
# The real list is made from filter assets a Debian package ships; a run without it needs none.
if [[ " ${LISTS[*]} " == *" real "* ]]; then
    PEER_PACKAGES+=(webext-ublock-origin-firefox)
fi
# A package install must not start the peers as services (unbound would also fetch its trust
# anchor from the internet): policy-rc.d forbids it for the length of the install.
if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    ensure_packages "${BUILD_PACKAGES[@]}" "${PEER_PACKAGES[@]}"
    rm -f /usr/sbin/policy-rc.d
    trap - EXIT
else
    ensure_packages "${BUILD_PACKAGES[@]}" "${PEER_PACKAGES[@]}"
fi
for service in dnsmasq unbound dnsdist; do
    if command -v systemctl >/dev/null && systemctl is-active --quiet "$service" 2>/dev/null; then
        systemctl stop "$service" || true
    elif [ -x "/etc/init.d/$service" ]; then
        "/etc/init.d/$service" stop >/dev/null 2>&1 || true
    fi
done

# ---- build -----------------------------------------------------------------------------------
TARGETS=(sieveharbor-proxy bench-reflector bench-stub-upstream bench-make-lists bench-probe
    bench-tls-stub)
if [ -z "${BENCH_BUILD_DIR:-}" ]; then
    # The release preset's settings in a folder of its own, so that a developer's build/release
    # is left alone.
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIEVEHARBOR_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" -j 2 --target "${TARGETS[@]}"

# ---- cleanup: nothing this script starts outlives it ----------------------------------------
SERVER_PID=
STUB_PID=
TLS_STUB_PID=
SIEVEHARBOR_EXTRA=()  # further arguments for SieveHarbor's next start
cleanup() {
    stop_server
    [ -n "$STUB_PID" ] && kill "$STUB_PID" 2>/dev/null && wait "$STUB_PID" 2>/dev/null
    [ -n "$TLS_STUB_PID" ] && kill "$TLS_STUB_PID" 2>/dev/null && wait "$TLS_STUB_PID" 2>/dev/null
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM
source bench/peers/servers.sh

# Free ports, or this would measure someone else's server.
for port in $PORT $STUB_PORT $BLACKHOLE_PORT $TLS_UPSTREAM; do
    if "$BIN/bench-probe" "$port" probe.invalid answered 0.2 >/dev/null; then
        echo "run.sh: something already answers on 127.0.0.1:$port" >&2
        exit 1
    fi
done

# ---- lists -----------------------------------------------------------------------------------
mkdir -p "$WORK/lists" "$WORK/raw"
echo "Making lists in $WORK/lists" >&2
declare -A SIZES=([syn10k]=10000 [syn100k]=100000 [syn1M]=1000000)
for list in "${LISTS[@]}"; do
    file=$WORK/lists/$list.txt
    if [ "$list" = real ]; then
        # The filter lists that Debian's uBlock Origin package ships, reduced to the rules that
        # block a whole host ("||host^", optionally third-party only), one host per line.
        assets=$(dpkg -L webext-ublock-origin-firefox | grep -E '/assets/(thirdparties/easylist/easy(list|privacy)|ublock/badware.*)\.txt$')
        # shellcheck disable=SC2086
        sed -nE 's/^\|\|([a-z0-9][a-z0-9.-]*[a-z0-9])\^(\$third-party)?$/\1/p' $assets |
            grep -vE '^[0-9.]+$' | awk 'index($0, ".")' | LC_ALL=C sort -u >"$file.tmp"
        {
            echo "# host rules from Debian's webext-ublock-origin-firefox filter assets"
            cat "$file.tmp"
        } >"$file"
        rm -f "$file.tmp"
    else
        "$BIN/bench-make-lists" synthetic "${SIZES[$list]}" "$file"
    fi
    "$BIN/bench-make-lists" queries "$file" "$WORK/lists/$list.blocked" "$WORK/lists/$list.forwarded"
done

# ---- measurement helpers ---------------------------------------------------------------------
record() { # server list run metric value
    printf '%s\t%s\t%s\t%s\t%s\n' "$@" >>"$RESULTS"
}

cpu_ticks() { # utime+stime of the server, in clock ticks
    awk '{ print $14 + $15 }' "/proc/$SERVER_PID/stat"
}

status_kib() { # VmRSS or VmHWM in KiB
    awk -v key="$1:" '$1 == key { print $2 }' "/proc/$SERVER_PID/status"
}

# dnsperf pinned to the load CPU, bounded by -l and by timeout. Its socket buffers are raised
# (-b, KiB): with the default ones a burst of answers after any pause of the server overflows
# dnsperf's own receive buffer, and the loss would be the load generator's, not the server's.
perf_load() { # queries-file output [dnsperf options]
    local queries=$1 output=$2
    shift 2
    timeout $((SECONDS_PER_LOAD + 30)) taskset -c "$LOAD_CPU" dnsperf -s 127.0.0.1 -p "$PORT" \
        -d "$queries" -t 2 -b 4096 "$@" >"$output" 2>&1 || true
}

field() { # dnsperf output, label: prints the number after it
    awk -v label="$2" 'index($0, label) { sub(".*" label "[ \t]*", ""); print $1 + 0; exit }' "$1"
}

# Percentile of the per-query latencies in a dnsperf -v output, in microseconds.
percentile() { # file p
    awk '$1 == ">" { print $NF * 1e6 }' "$1" | sort -n | awk -v p="$2" '
        { v[NR] = $1 } END { if (NR == 0) { print "nan"; exit } i = int(NR * p / 100 + 0.999); if (i < 1) i = 1; print v[i] }'
}

closed_loop() { # server list run kind queries
    local out=$WORK/raw/$1.$2.$3.$4.closed
    perf_load "$5" "$out" -l "$SECONDS_PER_LOAD" -q "$OUTSTANDING"
    local sent lost
    sent=$(field "$out" "Queries sent:")
    lost=$(field "$out" "Queries lost:")
    record "$1" "$2" "$3" "$4_rate" "$(field "$out" "Queries per second:")"
    record "$1" "$2" "$3" "$4_closed_loss_pct" "$(awk -v s="$sent" -v l="$lost" 'BEGIN { print s ? 100 * l / s : 100 }')"
}

fixed_rate() { # server list run kind queries rate [dnsperf options]
    local out=$WORK/raw/$1.$2.$3.$4.fixed
    local before after hz
    hz=$(getconf CLK_TCK)
    before=$(cpu_ticks)
    perf_load "$5" "$out" -l "$SECONDS_PER_LOAD" -Q "$6" -q 100 -v "${@:7}"
    after=$(cpu_ticks)
    local completed sent lost
    completed=$(field "$out" "Queries completed:")
    sent=$(field "$out" "Queries sent:")
    lost=$(field "$out" "Queries lost:")
    record "$1" "$2" "$3" "$4_cpu_us" "$(awk -v a="$after" -v b="$before" -v hz="$hz" -v n="$completed" 'BEGIN { print n ? (a - b) / hz * 1e6 / n : "nan" }')"
    record "$1" "$2" "$3" "$4_fixed_loss_pct" "$(awk -v s="$sent" -v l="$lost" 'BEGIN { print s ? 100 * l / s : 100 }')"
    record "$1" "$2" "$3" "$4_p50_us" "$(percentile "$out" 50)"
    record "$1" "$2" "$3" "$4_p99_us" "$(percentile "$out" 99)"
}

# Starts SERVER on LIST and records the time from the start to the first blocked answer for the
# list's last entry.
start_and_time() { # server list run
    local file=$WORK/lists/$2.txt last started answered
    last=$(tail -n 1 "$file")
    started=$(date +%s.%N)
    start_server "$1" "$file"
    if ! answered=$("$BIN/bench-probe" "$PORT" "$last" blocked "$LOAD_TIMEOUT"); then
        echo "run.sh: $1 did not answer $last within ${LOAD_TIMEOUT}s" >&2
        stop_server
        return 1
    fi
    record "$1" "$2" "$3" load_s "$(awk -v a="$answered" -v s="$started" 'BEGIN { printf "%.4f", a - s }')"
    record "$1" "$2" "$3" rss_kib "$(status_kib VmRSS)"
}

# ---- the runs --------------------------------------------------------------------------------
: >"$RESULTS"
{
    echo "started $(date -u +%FT%TZ)"
    echo "uptime $(uptime)"
    echo "cpu $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)"
    echo "nproc $(nproc)"
    echo "kernel $(uname -r)"
    for p in dnsmasq unbound dnsdist dnsperf; do
        echo "version $p $(dpkg-query -W -f='${Version}' "$p")"
    done
    echo "quick $QUICK runs $RUNS seconds $SECONDS_PER_LOAD"
} >"$OUT/machine.txt"

taskset -c "$LOAD_CPU" "$BIN/bench-stub-upstream" --port "$STUB_PORT" --seconds "$SERVER_LIFETIME" &
STUB_PID=$!
"$BIN/bench-probe" "$STUB_PORT" ready.fwd-bench answered 5 >/dev/null

# The ceiling: no list, so only the traffic figures.
for run in $(seq "$RUNS"); do
    echo "reflector run $run" >&2
    start_server reflector ""
    "$BIN/bench-probe" "$PORT" ready.fwd-bench answered 5 >/dev/null
    closed_loop reflector none "$run" blocked "$WORK/lists/${LISTS[0]}.blocked"
    fixed_rate reflector none "$run" blocked "$WORK/lists/${LISTS[0]}.blocked" "$BLOCKED_RATE"
    closed_loop reflector none "$run" forwarded "$WORK/lists/${LISTS[0]}.forwarded"
    fixed_rate reflector none "$run" forwarded "$WORK/lists/${LISTS[0]}.forwarded" "$FORWARDED_RATE"
    stop_server
done

# The first of two upstreams blackholed (it takes every query and answers none): relayed queries
# at a fixed rate from the server's start (cold: what failing over costs) and then once more
# (steady: what it costs to keep failing over, or not), for the servers that can have two
# upstreams. dnsperf counts a query unanswered within 2 s as lost.
failover_servers=()
for server in "${SERVERS[@]}"; do
    # The build before may know one upstream only, which here answers nothing.
    case $server in sieveharbor | unbound | dnsdist) failover_servers+=("$server") ;; esac
done
if [ "$TLS_ONLY" -eq 0 ] && [ "${#failover_servers[@]}" -gt 0 ]; then
    taskset -c "$LOAD_CPU" python3 bench/peers/blackhole.py "$BLACKHOLE_PORT" "$SERVER_LIFETIME" \
        >"$WORK/blackhole.out" &
    BLACKHOLE_PID=$!
    for _ in $(seq 100); do grep -q ready "$WORK/blackhole.out" && break; sleep 0.05; done
    list=${LISTS[0]}
    saved_seconds=$SECONDS_PER_LOAD
    SECONDS_PER_LOAD=$FAILOVER_SECONDS
    for run in $(seq "$RUNS"); do
        for server in "${failover_servers[@]}"; do
            echo "$server, first upstream blackholed, run $run" >&2
            FIRST_UPSTREAM_PORT=$BLACKHOLE_PORT configure_server "$server" "$WORK/lists/$list.txt"
            FIRST_UPSTREAM_PORT=$BLACKHOLE_PORT start_and_time "$server" "$list" "failover$run" ||
                continue
            fixed_rate "$server" failover "$run" failover_cold "$WORK/lists/$list.forwarded" "$FAILOVER_RATE"
            fixed_rate "$server" failover "$run" failover_steady "$WORK/lists/$list.forwarded" "$FAILOVER_RATE"
            stop_server
        done
    done
    SECONDS_PER_LOAD=$saved_seconds
    kill "$BLACKHOLE_PID" 2>/dev/null
    wait "$BLACKHOLE_PID" 2>/dev/null || true
fi

# Relayed queries to a DNS-over-TLS resolver (the end-to-end tests' TLS stub, on the load CPU,
# under a certificate from a test authority every server is told to trust): CPU per query and
# latency at the fixed relayed rate, then a steady run at a lower rate whose handshakes the stub
# counts (a line per connection it accepts), given per minute.
tls_servers=()
for server in "${SERVERS[@]}"; do
    case $server in sieveharbor | unbound | dnsdist) tls_servers+=("$server") ;; esac
done
if [ "$FAILOVER_ONLY" -eq 0 ] && [ "${#tls_servers[@]}" -gt 0 ]; then
    mkdir -p "$WORK/tls"
    (
        cd "$WORK/tls" || exit 1
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
            -subj "/CN=SieveHarbor bench authority" -keyout ca.key -out ca.pem 2>/dev/null &&
            openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=dns.test \
                -keyout server.key -out server.csr 2>/dev/null &&
            printf 'subjectAltName=DNS:dns.test,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >server.ext &&
            openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
                -extfile server.ext -out server.pem 2>/dev/null
    ) || { echo "run.sh: openssl could not make the TLS certificates" >&2; exit 1; }
    : >"$WORK/tls.log"
    taskset -c "$LOAD_CPU" "$BIN/bench-tls-stub" --cert "$WORK/tls/server.pem" \
        --key "$WORK/tls/server.key" --port "$TLS_UPSTREAM" --log "$WORK/tls.log" >/dev/null &
    TLS_STUB_PID=$!
    list=${LISTS[0]}
    for run in $(seq "$RUNS"); do
        for server in "${tls_servers[@]}"; do
            echo "$server, a TLS upstream, run $run" >&2
            TLS_UPSTREAM_PORT=$TLS_UPSTREAM configure_server "$server" "$WORK/lists/$list.txt"
            TLS_UPSTREAM_PORT=$TLS_UPSTREAM start_and_time "$server" "$list" "tls$run" || continue
            fixed_rate "$server" tls "$run" tls "$WORK/lists/$list.forwarded" "$FORWARDED_RATE"
            before=$(grep -c '^connection' "$WORK/tls.log")
            saved_seconds=$SECONDS_PER_LOAD
            SECONDS_PER_LOAD=$TLS_STEADY_SECONDS
            fixed_rate "$server" tls "$run" tls_steady "$WORK/lists/$list.forwarded" 200
            SECONDS_PER_LOAD=$saved_seconds
            after=$(grep -c '^connection' "$WORK/tls.log")
            record "$server" tls "$run" tls_handshakes_per_min \
                "$(awk -v a="$after" -v b="$before" -v s="$TLS_STEADY_SECONDS" 'BEGIN { print (a - b) * 60 / s }')"
            stop_server
        done
    done
    kill "$TLS_STUB_PID" 2>/dev/null
    wait "$TLS_STUB_PID" 2>/dev/null || true
fi
if [ "$FAILOVER_ONLY" -eq 1 ] || [ "$TLS_ONLY" -eq 1 ]; then
    echo "finished $(date -u +%FT%TZ)" >>"$OUT/machine.txt"
    python3 bench/peers/report.py "$OUT"
    exit 0
fi

for list in "${LISTS[@]}"; do
    for server in "${SERVERS[@]}"; do
        [ "$server" = reflector ] && continue
        configure_server "$server" "$WORK/lists/$list.txt"
        runs=$RUNS
        # dnsdist needs about a minute and a gigabyte for a million suffixes: one start only.
        if [ "$server" = dnsdist ] && [ "$list" = syn1M ]; then runs=1; fi
        for run in $(seq "$runs"); do
            echo "$server $list run $run" >&2
            start_and_time "$server" "$list" "$run" || continue
            closed_loop "$server" "$list" "$run" blocked "$WORK/lists/$list.blocked"
            fixed_rate "$server" "$list" "$run" blocked "$WORK/lists/$list.blocked" "$BLOCKED_RATE"
            closed_loop "$server" "$list" "$run" forwarded "$WORK/lists/$list.forwarded"
            fixed_rate "$server" "$list" "$run" forwarded "$WORK/lists/$list.forwarded" "$FORWARDED_RATE"
            stop_server
            if [ "$server" = sieveharbor ]; then
                # The reflector again, on the same queries straight after: on a shared machine
                # the CPU a query costs drifts by a fifth within minutes, and the ratio of the
                # two is only worth something when they are measured side by side.
                start_server reflector ""
                "$BIN/bench-probe" "$PORT" ready.fwd-bench answered 5 >/dev/null
                fixed_rate reflector "$list" "$run" blocked "$WORK/lists/$list.blocked" "$BLOCKED_RATE"
                stop_server
            fi
        done
    done
done

# SieveHarbor once more on the largest list, relayed queries only, allowed both cores (dnsperf
# and the stub stay on theirs): what its loops do when the process may spread. No peer is run
# this way; the rows are "sieveharbor-unpinned".
if [[ " ${SERVERS[*]} " == *" sieveharbor "* ]]; then
    list=${LISTS[-1]}
    configure_server sieveharbor "$WORK/lists/$list.txt"
    for run in $(seq "$RUNS"); do
        echo "sieveharbor unpinned $list run $run" >&2
        SERVER_CPU="$SERVER_CPU,$LOAD_CPU" start_server sieveharbor "$WORK/lists/$list.txt"
        if "$BIN/bench-probe" "$PORT" "$(tail -n 1 "$WORK/lists/$list.txt")" blocked "$LOAD_TIMEOUT" >/dev/null; then
            closed_loop sieveharbor-unpinned "$list" "$run" forwarded "$WORK/lists/$list.forwarded"
            fixed_rate sieveharbor-unpinned "$list" "$run" forwarded "$WORK/lists/$list.forwarded" "$FORWARDED_RATE"
        fi
        stop_server
    done
fi

# Reload under load, on the largest list: the file is replaced (and the reload asked for where
# the server does not watch it) once a second while dnsperf offers the fixed blocked rate, and
# VmRSS is sampled every 20 ms. Before it, the same run with no replacement gives the figures
# to compare with: the same harness, the same length.
big=${LISTS[-1]}

reload_run() { # server list run label file replacements [driver options]: runs dnsperf meanwhile
    local server=$1 list=$2 run=$3 label=$4 file=$5 replacements=$6
    shift 6
    local out=$WORK/raw/$server.$list.$run.$label.fixed before after
    # One process on the load generator's core replaces the file and samples VmRSS.
    timeout $((RELOAD_SECONDS + 30)) taskset -c "$LOAD_CPU" python3 bench/peers/reload_driver.py \
        --pid "$SERVER_PID" --file "$file" --seconds "$RELOAD_SECONDS" \
        --replacements "$replacements" --peak-out "$WORK/raw/$server.$label.peak" "$@" &
    local driver=$!
    before=$(cpu_ticks)
    SECONDS_PER_LOAD_SAVED=$SECONDS_PER_LOAD
    SECONDS_PER_LOAD=$((RELOAD_SECONDS + 2))
    perf_load "$WORK/lists/$list.blocked" "$out" -l "$SECONDS_PER_LOAD" -Q "$BLOCKED_RATE" -q 100 -v
    SECONDS_PER_LOAD=$SECONDS_PER_LOAD_SAVED
    after=$(cpu_ticks)
    wait "$driver"
    RELOAD_CPU_S=$(awk -v a="$after" -v b="$before" -v hz="$(getconf CLK_TCK)" 'BEGIN { print (a - b) / hz }')
    record "$server" "$list" "$run" "${label}_lost" "$(field "$out" "Queries lost:")"
    record "$server" "$list" "$run" "${label}_p99_us" "$(percentile "$out" 99)"
    record "$server" "$list" "$run" "${label}_peak_rss_kib" "$(cat "$WORK/raw/$server.$label.peak")"
}

for server in "${SERVERS[@]}"; do
    can_reload "$server" || continue
    # dnsdist rebuilds a million suffixes in about a minute: a reload a second cannot be had.
    if [ "$server" = dnsdist ] && [ "$big" = syn1M ]; then continue; fi
    configure_server "$server" "$WORK/lists/$big.txt"
    rewritten=$WORK/lists/$big.txt
    signal=()
    if [ "$server" = unbound ]; then
        rewritten=$WORK/conf/unbound-zones.conf
        signal=(--signal)
    fi
    for run in $(seq "$RUNS"); do
        echo "$server reload under load, run $run" >&2
        start_and_time "$server" "$big" "reload$run" || continue
        reload_run "$server" "$big" "reload$run" reload_steady "$rewritten" 0
        steady=$RELOAD_CPU_S
        reload_run "$server" "$big" "reload$run" reload "$rewritten" "$RELOAD_SECONDS" "${signal[@]}"
        record "$server" "$big" "reload$run" reload_hwm_kib "$(status_kib VmHWM)"
        # The CPU one reload took: the run with reloads less the run without, per reload.
        record "$server" "$big" "reload$run" reload_cpu_per_reload_s \
            "$(awk -v r="$RELOAD_CPU_S" -v s="$steady" -v n="$RELOAD_SECONDS" 'BEGIN { printf "%.3f", (r - s) / n }')"
        stop_server
    done
done

# The control: the reflector, with the CPU time one SieveHarbor reload took (the median of its
# runs) burnt once a second at nice 19 on its core. What that does to the reflector's p99 is what
# any work on the server's one core costs here, whoever does it.
burn=$(awk -F'\t' '$1 == "sieveharbor" && $4 == "reload_cpu_per_reload_s" && $5 > 0 { print $5 }' \
    "$RESULTS" | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }')
if [ -n "$burn" ]; then
    : >"$WORK/control.txt"
    for run in $(seq "$RUNS"); do
        echo "reflector reload control (${burn}s of CPU a second), run $run" >&2
        start_server reflector ""
        "$BIN/bench-probe" "$PORT" ready.fwd-bench answered 5 >/dev/null
        reload_run reflector "$big" "reload$run" reload_steady "$WORK/control.txt" 0
        timeout $((RELOAD_SECONDS + 30)) taskset -c "$SERVER_CPU" nice -n 19 \
            python3 bench/peers/cpu_burner.py "$RELOAD_SECONDS" "$burn" &
        burner=$!
        reload_run reflector "$big" "reload$run" reload "$WORK/control.txt" 0
        wait "$burner" || true
        record reflector "$big" "reload$run" reload_burn_s "$burn"
        stop_server
    done
fi

# DNS over TCP on the largest list: dnsperf keeps its connections open (-m tcp, 10 of them) and
# offers blocked names, then names to relay, at the fixed rates. The stub upstream answers TCP
# too; how each server reaches it for a TCP query is its own choice (unbound asks over UDP).
# The reflector answers UDP only: no TCP ceiling.
TCP_CLIENTS=10
for server in "${SERVERS[@]}"; do
    [ "$server" = reflector ] && continue
    configure_server "$server" "$WORK/lists/$big.txt"
    runs=$RUNS
    if [ "$server" = dnsdist ] && [ "$big" = syn1M ]; then runs=1; fi
    for run in $(seq "$runs"); do
        echo "$server over TCP, run $run" >&2
        start_and_time "$server" "$big" "tcp$run" || continue
        fixed_rate "$server" "$big" "tcp$run" tcp_blocked "$WORK/lists/$big.blocked" \
            "$BLOCKED_RATE" -m tcp -c "$TCP_CLIENTS"
        fixed_rate "$server" "$big" "tcp$run" tcp_forwarded "$WORK/lists/$big.forwarded" \
            "$FORWARDED_RATE" -m tcp -c "$TCP_CLIENTS"
        stop_server
    done
done

# 2,000 idle TCP connections against SieveHarbor's cap of 1,024, with the fixed UDP blocked rate
# offered meanwhile: how many stay open, what they cost in memory, and whether UDP loses anything.
if [[ " ${SERVERS[*]} " == *" sieveharbor "* ]]; then
    configure_server sieveharbor "$WORK/lists/$big.txt"
    echo "sieveharbor with 2,000 idle TCP connections" >&2
    if start_and_time sieveharbor "$big" idle1; then
        rss_before=$(status_kib VmRSS)
        taskset -c "$LOAD_CPU" python3 bench/peers/idle_connections.py --port "$PORT" --count 2000 \
            --seconds $((SECONDS_PER_LOAD + 10)) >"$WORK/raw/idle.out" &
        holder=$!
        for _ in $(seq 200); do grep -q opened "$WORK/raw/idle.out" && break; sleep 0.05; done
        fixed_rate sieveharbor "$big" idle1 idle_udp_blocked "$WORK/lists/$big.blocked" "$BLOCKED_RATE"
        record sieveharbor "$big" idle1 idle_open_connections \
            "$(ss -Htn state established "( sport = :$PORT )" | wc -l)"
        record sieveharbor "$big" idle1 idle_rss_growth_kib "$(($(status_kib VmRSS) - rss_before))"
        kill "$holder" 2>/dev/null
        wait "$holder" 2>/dev/null || true
        stop_server
    fi
fi

# The metrics endpoint under load: 20 scrapes, 0.4 s apart, while dnsperf offers blocked names at
# 60,000 a second: how long a scrape takes, and whether its counts add up.
METRICS_RATE=60000
METRICS_PORT=15355
# (An older build, compared with BENCH_BUILD_DIR, may have no endpoint.)
if [[ " ${SERVERS[*]} " == *" sieveharbor "* ]] && "$PROXY" --help | grep -q -- --metrics; then
    configure_server sieveharbor "$WORK/lists/$big.txt"
    echo "sieveharbor scraped under load" >&2
    SIEVEHARBOR_EXTRA=(--metrics "127.0.0.1:$METRICS_PORT")
    if start_and_time sieveharbor "$big" metrics1; then
        taskset -c "$LOAD_CPU" /usr/bin/python3 bench/peers/scrape_under_load.py \
            --url "http://127.0.0.1:$METRICS_PORT/metrics" --count 20 --interval 0.4 \
            >"$WORK/raw/scrape.out" &
        scraper=$!
        timeout 60 taskset -c "$LOAD_CPU" dnsperf -s 127.0.0.1 -p "$PORT" \
            -d "$WORK/lists/$big.blocked" -t 2 -b 4096 -l 12 -Q "$METRICS_RATE" -q 200 \
            >"$WORK/raw/scrape.dnsperf" 2>&1 || true
        wait "$scraper" || true
        while read -r key value; do
            record sieveharbor "$big" metrics1 "scrape_$key" "$value"
        done <"$WORK/raw/scrape.out"
        record sieveharbor "$big" metrics1 scrape_load_rate \
            "$(field "$WORK/raw/scrape.dnsperf" "Queries per second:")"
        stop_server
    fi
    SIEVEHARBOR_EXTRA=()
fi

echo "finished $(date -u +%FT%TZ)" >>"$OUT/machine.txt"
echo "uptime-end $(uptime)" >>"$OUT/machine.txt"
python3 bench/peers/report.py "$OUT"
echo "Results: $OUT/report.md, charts in $OUT/*.png" >&2
