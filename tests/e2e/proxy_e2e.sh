#!/usr/bin/env bash
# End-to-end tests of the sieveharbor-proxy binary on loopback, with dig and glibc as clients and
# a stub upstream. Usage: proxy_e2e.sh TEST  (PROXY, STUB and LIST name the three programs).
# Every process started here is killed on every way out; every wait is bounded.
set -uo pipefail

: "${PROXY:?PROXY must name the sieveharbor-proxy binary}"
: "${STUB:?STUB must name the stub upstream binary}"
: "${LIST:?LIST must name the sieveharbor-list binary}"
readonly SKIP=77
# How long a start, an answer or a log line may take to come: generous, since a loaded machine
# (sanitizer builds beside the tests) can stretch a start from milliseconds to seconds.
readonly WAIT_MS=15000

WORK=$(mktemp -d /tmp/sieveharbor-e2e-XXXXXX)
PIDS=()

cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*" >&2
    [ -s "$WORK/proxy.err" ] && { echo "--- proxy stderr:" >&2; cat "$WORK/proxy.err" >&2; }
    exit 1
}

now_ms() { date +%s%3N; }

# Polls "$@" every 20 ms until it succeeds or the bound (ms) passes.
wait_until() {
    local bound=$1
    shift
    local deadline=$(($(now_ms) + bound))
    until "$@"; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.02
    done
}

# Waits up to bound ms for pid to end; sets STATUS to its exit status.
wait_exit() {
    local pid=$1 bound=$2
    wait_until "$bound" bash -c "! kill -0 $pid 2>/dev/null" || return 1
    wait "$pid"
    STATUS=$?
}

start_stub() {
    "$STUB" "$@" >"$WORK/stub.port" &
    PIDS+=($!)
    wait_until "$WAIT_MS" test -s "$WORK/stub.port" || fail "the stub upstream did not start"
    UPSTREAM_PORT=$(head -n1 "$WORK/stub.port")
}

free_port() { "$STUB" --free-port; }

# Starts the proxy with the given arguments; PROXY_PID is its pid.
# PROXY_CMD, when set, runs the proxy under a wrapper (prlimit).
start_proxy() {
    "${PROXY_CMD[@]:-$PROXY}" "$@" >"$WORK/proxy.out" 2>"$WORK/proxy.err" &
    PROXY_PID=$!
    PIDS+=("$PROXY_PID")
}

# The same as user id UID (and group UID), with CAP_NET_BIND_SERVICE as the unit grants it.
start_proxy_as() {
    local uid=$1
    shift
    setpriv --reuid="$uid" --regid="$uid" --clear-groups --inh-caps=+net_bind_service \
        --ambient-caps=+net_bind_service "$PROXY" "$@" >"$WORK/proxy.out" 2>"$WORK/proxy.err" &
    PROXY_PID=$!  # setpriv runs the proxy in its own place
    PIDS+=("$PROXY_PID")
}

# dig against the proxy on PORT: prints "STATUS" then the answer records, one per line, with
# their fields separated by single spaces.
# ASK_TRANSPORT=+tcp asks over TCP; ASK_TIME sets how long dig waits (5 s).
ask() {
    local name=$1 type=$2 server=${3:-127.0.0.1} port=${4:-$PORT}
    dig ${ASK_TRANSPORT:-+notcp} -p "$port" "@$server" +time="${ASK_TIME:-5}" +tries=1 +noall +comments +answer \
        "$name" "$type" |
        awk '/->>HEADER<<-/ { sub(/.*status: /, ""); sub(/,.*/, ""); print; next }
             /^;/ || NF == 0 { next }
             { $1 = $1; print }'
}

# Starts the proxy with ARGS on a free port and waits until it answers READY (ready.test unless
# set). A port free a moment ago can be taken before the proxy binds it (tests run in parallel,
# and a busy machine's outgoing connections take ports too): a proxy that stopped for that is
# started again on another port.
serve_on_free_port() {
    local attempt ready=${READY:-ready.test}
    for attempt in 1 2 3 4 5; do
        PORT=$(free_port)
        start_proxy --listen "127.0.0.1:$PORT" "$@"
        wait_until "$WAIT_MS" bash -c "dig -p $PORT @127.0.0.1 +time=1 +tries=1 $ready >/dev/null ||
            ! kill -0 $PROXY_PID 2>/dev/null" ||
            fail "the proxy did not answer on 127.0.0.1:$PORT within $((WAIT_MS / 1000)) s"
        kill -0 "$PROXY_PID" 2>/dev/null && return 0
        wait "$PROXY_PID"
        grep -q 'Address already in use' "$WORK/proxy.err" || break
    done
    fail "the proxy stopped before answering on 127.0.0.1:$PORT: $(cat "$WORK/proxy.err")"
}

# The stub, and the proxy relaying to it with the blocklist in $WORK/blocklist.txt.
start_service() {
    start_stub
    serve_on_free_port --upstream "127.0.0.1:$UPSTREAM_PORT" --blocklist "$WORK/blocklist.txt" "$@"
}

expect_answer() {
    local name=$1 type=$2 expected=$3 got
    got=$(ask "$name" "$type")
    [ "$got" = "$(printf '%b' "$expected")" ] ||
        fail "$type $name: expected [$(printf '%b' "$expected")], got [$got]"
}

blocked_a() { printf 'NOERROR\n%s. 60 IN A 0.0.0.0' "$1"; }
stub_a() { printf 'NOERROR\n%s. 4242 IN A 192.0.2.53' "$1"; }

# --- tests -------------------------------------------------------------------------------------

test_blocked_answers() {
    printf '# test list\nexample.com\nads.example.net\n' >"$WORK/blocklist.txt"
    start_service
    expect_answer example.com A "$(blocked_a example.com)"
    expect_answer example.com AAAA 'NOERROR\nexample.com. 60 IN AAAA ::'
    expect_answer example.com HTTPS 'NXDOMAIN'
    # Every other type gets the A-shaped answer.
    expect_answer example.com MX "$(blocked_a example.com)"
    expect_answer deep.sub.example.com A "$(blocked_a deep.sub.example.com)"
    expect_answer Tracker.ADS.example.net A "$(blocked_a Tracker.ADS.example.net)"
    expect_answer badexample.com A "$(stub_a badexample.com)"
    expect_answer example.net A "$(stub_a example.net)"
}

test_unblocked_relayed_unchanged() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_service
    local name through direct
    for name in www.example.org unblocked.test; do
        # The whole reply as dig shows it, from the proxy and straight from the stub, but for
        # the query ID and timings.
        through=$(dig -p "$PORT" @127.0.0.1 +time=5 +tries=1 "$name" A | grep -v -e 'id: ' -e '^;; Query time' -e '^;; SERVER' -e '^;; WHEN' -e '^;; MSG SIZE' -e '^; <<>>')
        direct=$(dig -p "$UPSTREAM_PORT" @127.0.0.1 +time=5 +tries=1 "$name" A | grep -v -e 'id: ' -e '^;; Query time' -e '^;; SERVER' -e '^;; WHEN' -e '^;; MSG SIZE' -e '^; <<>>')
        [ -n "$direct" ] || fail "the stub did not answer $name"
        [ "$through" = "$direct" ] || fail "relayed reply for $name differs:\n$through\n--- stub:\n$direct"
    done
    expect_answer www.example.org AAAA "$(stub_a www.example.org)"
}

# Over TCP, with several queries on one connection, every answer is the one UDP gets.
test_tcp_answers() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_service
    local name type udp tcp
    for name in blocked.test www.blocked.test relayed.test; do
        for type in A AAAA HTTPS; do
            udp=$(ask "$name" "$type")
            tcp=$(ASK_TRANSPORT=+tcp ask "$name" "$type")
            [ -n "$udp" ] && [ "$udp" = "$tcp" ] ||
                fail "$type $name over TCP: [$tcp], over UDP: [$udp]"
        done
    done
    # Pipelined on one connection (dig +keepopen sends them one after another on it).
    local answers
    answers=$(dig +tcp +keepopen -p "$PORT" @127.0.0.1 +time=5 +tries=1 +short \
        a.blocked.test A relayed.test A b.blocked.test A)
    [ "$answers" = "$(printf '0.0.0.0\n192.0.2.53\n0.0.0.0')" ] ||
        fail "pipelined over one connection: [$answers]"
    # Three relayed queries and a blocked one, then the client shuts its side (as nc -N does):
    # every answer comes, and then the end of the stream.
    answers=$(timeout 20 python3 - "$PORT" <<'PY'
import socket, struct, sys
def query(qid, name):
    labels = b"".join(bytes([len(l)]) + l.encode() for l in name.split("."))
    body = struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + labels + b"\0" + struct.pack(">HH", 1, 1)
    return struct.pack(">H", len(body)) + body
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
s.sendall(b"".join(query(i, n) for i, n in enumerate(["r1.relayed.test", "r2.relayed.test", "x.blocked.test", "r3.relayed.test"])))
s.shutdown(socket.SHUT_WR)
data = b""
while chunk := s.recv(65536):
    data += chunk
ids = []
while len(data) >= 2 and len(data) >= 2 + struct.unpack(">H", data[:2])[0]:
    n = struct.unpack(">H", data[:2])[0]
    ids.append(struct.unpack(">H", data[2:4])[0])
    data = data[2 + n:]
print(" ".join(map(str, sorted(ids))), "closed")
PY
    )
    [ "$answers" = "0 1 2 3 closed" ] || fail "half-closed after four queries: [$answers]"
}

# Polls until NAME gets EXPECTED, for at most bound ms, and says how long it took.
await_answer() {
    local name=$1 expected=$2 bound=$3 start got
    start=$(now_ms)
    until got=$(ask "$name" A) && [ "$got" = "$expected" ]; do
        [ "$(($(now_ms) - start))" -ge "$bound" ] &&
            fail "$name did not get [$expected] within $bound ms (got [$got])"
        sleep 0.02
    done
    echo "  $name took $(($(now_ms) - start)) ms" >&2
}

test_reload_on_sighup() {
    printf 'old.test\n' >"$WORK/blocklist.txt"
    start_service
    expect_answer old.test A "$(blocked_a old.test)"
    # Written but held open: the watch waits for the close, so only the signal reloads it.
    exec 3>"$WORK/blocklist.txt"
    printf 'new.test\n' >&3
    expect_answer new.test A "$(stub_a new.test)"
    kill -HUP "$PROXY_PID"
    await_answer new.test "$(blocked_a new.test)" "$WAIT_MS"
    expect_answer old.test A "$(stub_a old.test)"
    exec 3>&-
    # A list that cannot be taken is refused, told on stderr, and the one in force stays. Put in
    # place whole: the close above starts a load of its own, which on a slow machine could
    # otherwise read the file emptied and not yet rewritten, and take that.
    printf 'other.test\n\xff\n' >"$WORK/.blocklist.tmp"
    mv "$WORK/.blocklist.tmp" "$WORK/blocklist.txt"
    kill -HUP "$PROXY_PID"
    wait_until "$WAIT_MS" grep -qx "sieveharbor-proxy: blocklist $WORK/blocklist.txt refused, the previous list stays in force: it is not valid UTF-8" "$WORK/proxy.err" ||
        fail "the refused load was not told: $(cat "$WORK/proxy.err")"
    expect_answer new.test A "$(blocked_a new.test)"
    expect_answer other.test A "$(stub_a other.test)"
}

test_reload_on_file_change() {
    printf 'one.test\n' >"$WORK/blocklist.txt"
    start_service
    expect_answer two.test A "$(stub_a two.test)"
    # A plain write in place, no signal.
    printf 'two.test\n' >"$WORK/blocklist.txt"
    await_answer two.test "$(blocked_a two.test)" "$WAIT_MS"
    expect_answer one.test A "$(stub_a one.test)"
    # A write to a temporary file renamed over the list, as editors and deployment tools do.
    printf 'three.test\n' >"$WORK/.blocklist.tmp"
    mv "$WORK/.blocklist.tmp" "$WORK/blocklist.txt"
    await_answer three.test "$(blocked_a three.test)" "$WAIT_MS"
}

# A folder that is not there yet does not stop DNS: the list is loaded once it appears.
test_missing_folder() {
    start_stub
    serve_on_free_port --upstream "127.0.0.1:$UPSTREAM_PORT" --blocklist "$WORK/not/yet/blocklist.txt"
    expect_answer late.test A "$(stub_a late.test)"
    mkdir -p "$WORK/not/yet"
    printf 'late.test\n' >"$WORK/not/yet/blocklist.txt"
    await_answer late.test "$(blocked_a late.test)" "$WAIT_MS"
    [ "$(cat "$WORK/proxy.err")" = "sieveharbor-proxy: the blocklist folder $WORK/not/yet does not exist; serving with an empty list, and loading it once it appears" ] ||
        fail "unexpected stderr: $(cat "$WORK/proxy.err")"
}

# A list bigger than memory, or one endless line of zero bytes, is refused at start and at
# reload; the proxy serves on with the list it has.
test_hostile_list() {
    truncate -s 6G "$WORK/blocklist.txt" 2>/dev/null || { echo "SKIP: no sparse files" >&2; exit $SKIP; }
    PROXY_CMD=(prlimit --as=$((2 << 30)) "$PROXY")
    start_service
    grep -q "refused, the previous list stays in force: there is not enough memory for it" \
        "$WORK/proxy.err" || fail "the refusal was not told: $(cat "$WORK/proxy.err")"
    printf 'good.test\n' >"$WORK/blocklist.txt"
    await_answer good.test "$(blocked_a good.test)" "$WAIT_MS"
    # The same list grown to 6 GiB of zero bytes after its line: one endless line.
    truncate -s 6G "$WORK/blocklist.txt"
    wait_until "$WAIT_MS" bash -c "[ \$(grep -c refused '$WORK/proxy.err') -ge 2 ]" ||
        fail "the second refusal was not told: $(cat "$WORK/proxy.err")"
    expect_answer good.test A "$(blocked_a good.test)"
    kill -0 "$PROXY_PID" || fail "the proxy ended"
}

# Sends COUNT queries for distinct names to the proxy without waiting for answers.
flood() {
    local count=$1 i
    exec 4<>"/dev/udp/127.0.0.1/$PORT"
    for ((i = 0; i < count; i++)); do
        printf "\\x$(printf %02x $((i / 256)))\\x$(printf %02x $((i % 256)))\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x05q%04d\\x04test\\x00\\x00\\x01\\x00\\x01" "$i" >&4
    done
    exec 4>&-
}

# With few descriptors allowed, unanswered exchanges fill what the limit leaves, never the
# reserve: a reload still opens the list, and the proxy lives on.
test_descriptor_limit() {
    command -v prlimit >/dev/null || { echo "SKIP: no prlimit" >&2; exit $SKIP; }
    printf 'old.test\n' >"$WORK/blocklist.txt"
    start_stub --silent
    PROXY_CMD=(prlimit --nofile=64:64 "$PROXY")
    READY=old.test serve_on_free_port --upstream "127.0.0.1:$UPSTREAM_PORT" \
        --blocklist "$WORK/blocklist.txt"
    grep -q "only 64 file descriptors are allowed" "$WORK/proxy.err" ||
        fail "the lowered cap was not told: $(cat "$WORK/proxy.err")"
    flood 300
    printf 'new.test\n' >"$WORK/blocklist.txt"
    kill -HUP "$PROXY_PID"
    await_answer new.test "$(blocked_a new.test)" "$WAIT_MS"
    kill -0 "$PROXY_PID" || fail "the proxy ended with its descriptors exhausted"
}

test_glibc_client() {
    if ! unshare --mount --net true 2>/dev/null; then
        echo "SKIP: unshare --mount --net is not permitted here; the glibc client test needs its own network namespace" >&2
        exit $SKIP
    fi
    unshare --mount --net bash "$0" glibc_inside || exit $?
}

# Runs inside a private network and mount namespace: port 53 on this loopback is ours.
test_glibc_inside() {
    ip link set lo up || fail "cannot bring up lo in the namespace"
    # glibc asks again only after its timeout: set to its longest, 30 s, a lost query outlasts the
    # bound on each lookup below, which an answer on a slow machine never nears.
    printf 'nameserver 127.0.0.1\noptions timeout:30\n' >"$WORK/resolv.conf"
    printf 'hosts: files dns\n' >"$WORK/nsswitch.conf"
    mount --bind "$WORK/resolv.conf" /etc/resolv.conf || fail "cannot mount a private resolv.conf"
    mount --bind "$WORK/nsswitch.conf" /etc/nsswitch.conf || fail "cannot mount a private nsswitch.conf"
    printf 'blocked.example\n' >"$WORK/blocklist.txt"
    start_stub
    PORT=53
    start_proxy --listen 127.0.0.1:53 --upstream "127.0.0.1:$UPSTREAM_PORT" --blocklist "$WORK/blocklist.txt"
    wait_until "$WAIT_MS" bash -c "dig -p 53 @127.0.0.1 +time=1 +tries=1 ready.test >/dev/null" ||
        fail "the proxy did not answer on 127.0.0.1:53 in the namespace"

    local start out
    start=$(now_ms)
    out=$(timeout 20 getent ahosts www.blocked.example)
    echo "  getent ahosts www.blocked.example took $(($(now_ms) - start)) ms" >&2
    grep -q '^0\.0\.0\.0 ' <<<"$out" || fail "no 0.0.0.0 in getent's answer within 20 s (a lost query): [$out]"
    grep -q '^:: ' <<<"$out" || fail "no :: in getent's answer within 20 s (a lost query): [$out]"

    start=$(now_ms)
    out=$(timeout 20 getent ahosts www.unblocked.example)
    echo "  getent ahosts www.unblocked.example took $(($(now_ms) - start)) ms" >&2
    grep -q '^192\.0\.2\.53 ' <<<"$out" || fail "no stub address in getent's answer within 20 s: [$out]"

    # An answer too big for UDP comes back truncated; glibc asks again over TCP, to the proxy.
    out=$(timeout 20 getent ahosts big.example)
    [ "$(awk '{ print $1 }' <<<"$out" | sort -u | grep -c '^192\.0\.2\.')" -eq 40 ] ||
        fail "getent did not get all 40 addresses of the truncated answer: [$out]"
}

test_debug_line() {
    printf 'x.test\n' >"$WORK/blocklist.txt"
    start_service --debug
    kill -TERM "$PROXY_PID"
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not end within $((WAIT_MS / 1000)) s of SIGTERM"
    # "first light", then the start-up load.
    [ "$(head -n1 "$WORK/proxy.err")" = "first light" ] ||
        fail "--debug should start with the line 'first light': $(cat "$WORK/proxy.err")"
    sed -n 2p "$WORK/proxy.err" |
        grep -qx "sieveharbor-proxy: blocklist $WORK/blocklist.txt loaded: 1 entries in [0-9]* ms" &&
        [ "$(wc -l <"$WORK/proxy.err")" -eq 2 ] ||
        fail "--debug should tell the accepted load, and nothing else: $(cat "$WORK/proxy.err")"
    [ ! -s "$WORK/proxy.out" ] || fail "the proxy wrote to stdout: $(cat "$WORK/proxy.out")"
}

test_quiet_without_debug() {
    printf 'x.test\n' >"$WORK/blocklist.txt"
    start_service
    ask x.test A >/dev/null
    ask y.test A >/dev/null
    kill -HUP "$PROXY_PID"
    kill -TERM "$PROXY_PID"
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not end within $((WAIT_MS / 1000)) s of SIGTERM"
    [ ! -s "$WORK/proxy.err" ] && [ ! -s "$WORK/proxy.out" ] ||
        fail "without --debug the proxy wrote: $(cat "$WORK/proxy.out" "$WORK/proxy.err")"
}

test_stop_signals() {
    local signal start elapsed
    printf 'x.test\n' >"$WORK/blocklist.txt"
    for signal in TERM INT; do
        start_service
        expect_answer x.test A "$(blocked_a x.test)"
        start=$(now_ms)
        kill -"$signal" "$PROXY_PID"
        wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not end within $((WAIT_MS / 1000)) s of SIG$signal"
        elapsed=$(($(now_ms) - start))
        [ "$STATUS" -eq 0 ] || fail "SIG$signal: exit status $STATUS, expected 0"
        echo "  SIG$signal: ended with 0 after $elapsed ms" >&2
    done
}

test_taken_port() {
    start_stub
    printf 'x.test\n' >"$WORK/blocklist.txt"
    # The stub holds its port.
    start_proxy --listen "127.0.0.1:$UPSTREAM_PORT" --blocklist "$WORK/blocklist.txt"
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running on a taken port"
    [ "$STATUS" -eq 1 ] || fail "taken port: exit status $STATUS, expected 1"
    local expected="sieveharbor-proxy: cannot listen on 127.0.0.1:$UPSTREAM_PORT: Address already in use (another program already answers there: stop it, or choose another port with --listen 127.0.0.1:5353)"
    [ "$(cat "$WORK/proxy.err")" = "$expected" ] || fail "taken port: expected message [$expected]"
}

test_bad_usage() {
    start_proxy --listen 127.0.0.1:5353 --bogus
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running with a bad flag"
    [ "$STATUS" -eq 2 ] || fail "bad flag: exit status $STATUS, expected 2"
    [ "$(head -n1 "$WORK/proxy.err")" = "sieveharbor-proxy: unknown option '--bogus'" ] &&
        [ "$(tail -n1 "$WORK/proxy.err")" = "Try 'sieveharbor-proxy --help' for usage." ] ||
        fail "bad flag: unexpected message"
    start_proxy --listen 127.0.0.1:0
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running with port 0"
    [ "$STATUS" -eq 2 ] || fail "port 0: exit status $STATUS, expected 2"
    # Its own listening address as the upstream: every relayed query would come back.
    start_proxy --listen 127.0.0.1:5353 --upstream 127.0.0.1:5353
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running as its own upstream"
    [ "$STATUS" -eq 2 ] || fail "own upstream: exit status $STATUS, expected 2"
    grep -q "is the proxy's own --listen 127.0.0.1:5353" "$WORK/proxy.err" ||
        fail "own upstream: unexpected message: $(cat "$WORK/proxy.err")"
}

# Starts the proxy as a socket unit would: systemd-socket-activate binds the sockets named by its
# leading options, waits for the first packet or connection on them, then runs the proxy with them
# passed (LISTEN_FDS). Usage: activate SOCKET_OPTIONS... -- PROXY_ARGUMENTS...
activate() {
    command -v systemd-socket-activate >/dev/null ||
        fail "systemd-socket-activate (package systemd) is missing"
    local sockets=()
    while [ "$1" != -- ]; do
        sockets+=("$1")
        shift
    done
    shift
    systemd-socket-activate "${sockets[@]}" "$PROXY" "$@" >"$WORK/proxy.out" 2>"$WORK/proxy.err" &
    PROXY_PID=$!  # the same process once it runs the proxy
    PIDS+=("$PROXY_PID")
    # It says "Listening on ..." once per socket bound; a query sent before then is lost.
    local bound
    bound=$(printf '%s\n' "${sockets[@]}" | grep -c '^-l$')
    wait_until "$WAIT_MS" bash -c "[ \$(grep -c '^Listening on' '$WORK/proxy.err') -ge $bound ]" ||
        fail "systemd-socket-activate did not bind its sockets"
}

has_ipv6_loopback() { ip -6 addr show dev lo 2>/dev/null | grep -q 'inet6 ::1/'; }

test_socket_activation() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_stub
    PORT=$(free_port)
    local sockets=(--datagram -l "127.0.0.1:$PORT")
    has_ipv6_loopback && sockets+=(-l "[::1]:$PORT")
    activate "${sockets[@]}" -- --upstream "127.0.0.1:$UPSTREAM_PORT" --blocklist "$WORK/blocklist.txt"
    # The first query starts the proxy, which must answer it from the socket it was given.
    expect_answer blocked.test A "$(blocked_a blocked.test)"
    expect_answer www.blocked.test AAAA 'NOERROR\nwww.blocked.test. 60 IN AAAA ::'
    expect_answer relayed.test A "$(stub_a relayed.test)"
    if has_ipv6_loopback; then
        local got
        got=$(ask blocked.test A ::1)
        [ "$got" = "$(blocked_a blocked.test)" ] || fail "no blocked answer on [::1]:$PORT: [$got]"
    fi
    # It listens on the passed sockets only, not on the --listen defaults beside them.
    local own
    own=$(ss -Hulpn | grep "pid=$PROXY_PID," | awk '{ print $4 }' | sort)
    local expected="127.0.0.1:$PORT"
    has_ipv6_loopback && expected=$(printf '%s\n[::1]:%s' "$expected" "$PORT" | sort)
    [ "$own" = "$expected" ] || fail "the proxy listens on [$own], expected only [$expected]"
    kill -TERM "$PROXY_PID"
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not end within $((WAIT_MS / 1000)) s of SIGTERM"
    [ "$STATUS" -eq 0 ] || fail "SIGTERM: exit status $STATUS, expected 0"
    [ "$(grep -c '^sieveharbor-proxy' "$WORK/proxy.err")" -eq 0 ] ||
        fail "the proxy complained: $(cat "$WORK/proxy.err")"
}

test_socket_activation_refusals() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    PORT=$(free_port)
    # --listen beside passed sockets: which one was meant cannot be told, so neither is used.
    activate --datagram -l "127.0.0.1:$PORT" -- --listen "127.0.0.1:$(free_port)" \
        --blocklist "$WORK/blocklist.txt"
    dig -p "$PORT" @127.0.0.1 +time=1 +tries=1 start.test >/dev/null
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running with --listen and passed sockets"
    [ "$STATUS" -eq 2 ] || fail "--listen with passed sockets: exit status $STATUS, expected 2"
    grep -qx "sieveharbor-proxy: --listen cannot be used with sockets passed by systemd: listen where the socket unit says, or start the proxy without it" \
        "$WORK/proxy.err" || fail "--listen with passed sockets: unexpected message"

    # A TCP socket alone: with no UDP socket the proxy does not start.
    PORT=$(free_port)
    activate -l "127.0.0.1:$PORT" -- --blocklist "$WORK/blocklist.txt"
    dig +tcp -p "$PORT" @127.0.0.1 +time=1 +tries=1 start.test >/dev/null
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running with only a stream socket"
    [ "$STATUS" -eq 1 ] || fail "stream socket only: exit status $STATUS, expected 1"
    grep -qx "sieveharbor-proxy: systemd passed 1 socket(s), none of them an IPv4 or IPv6 UDP socket: give the socket unit a ListenDatagram= line" \
        "$WORK/proxy.err" || fail "stream socket only: unexpected message"
}

test_nft_redirect() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: the nftables redirect test needs root (a network namespace, nft and setpriv)" >&2
        exit $SKIP
    fi
    if ! unshare --net true 2>/dev/null; then
        echo "SKIP: unshare --net is not permitted here; the nftables redirect test needs its own network namespace" >&2
        exit $SKIP
    fi
    command -v nft >/dev/null || fail "nft (package nftables) is missing"
    # Each in a namespace of its own, as each leaves connection tracking entries behind: one of
    # the control's many looping source ports matching an earlier relayed query's entry would
    # take that entry's way, unredirected, and the reverse.
    unshare --net bash "$0" nft_redirect_inside exempt || exit $?
    unshare --net bash "$0" nft_redirect_inside control || exit $?
}

# Starts the proxy as the unit runs it (a user id given CAP_NET_BIND_SERVICE, the default
# listeners) with the namespace's upstream, and waits until it answers a blocked name, which it
# answers itself even while relaying loops.
start_namespace_proxy() {
    start_proxy_as "$1" --upstream 198.51.100.1:53 --blocklist "$WORK/blocklist.txt"
    wait_until "$WAIT_MS" bash -c "dig @127.0.0.1 +time=1 +tries=1 ready.blocked.test >/dev/null" ||
        fail "the proxy as uid $1 did not answer on 127.0.0.1:53"
}

# Runs inside a private network namespace: the shipped redirect rules, the stub upstream on port
# 53 of an address of its own, and the proxy as an unprivileged user that the rules exempt
# (exempt), or as root, whom they do not (control).
test_nft_redirect_inside() {
    # A user id, not a user: nothing is added to the machine, and the rules name it by number.
    local mode=$1 uid=4242 rules
    rules="$(cd "$(dirname "$0")/../.." && pwd)/packaging/nftables-redirect.nft"
    ip link set lo up || fail "cannot bring up lo in the namespace"
    # The upstream's address, and a route for the outside resolver that the client asks, which
    # only the redirect can answer: nothing in the namespace has 192.0.2.1.
    ip addr add 198.51.100.1/32 dev lo || fail "cannot add the upstream's address"
    ip route add 192.0.2.0/24 dev lo || fail "cannot route 192.0.2.0/24"
    [ "$(grep -c '^ *meta skuid "sieveharbor" return$' "$rules")" -eq 1 ] ||
        fail "$rules no longer exempts the user sieveharbor by 'meta skuid': update this test"
    sed "s/meta skuid \"sieveharbor\"/meta skuid $uid/" "$rules" >"$WORK/redirect.nft"
    nft -f "$WORK/redirect.nft" || fail "nft refused the shipped rules"

    "$STUB" --bind 198.51.100.1 53 >"$WORK/stub.port" &
    PIDS+=($!)
    wait_until "$WAIT_MS" test -s "$WORK/stub.port" || fail "the stub upstream did not start"

    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    chmod 755 "$WORK" && chmod 644 "$WORK/blocklist.txt"
    PORT=53

    local got
    if [ "$mode" = control ]; then
        # As root the proxy's own upstream query is redirected back into itself, and the relayed
        # query goes unanswered: what the exempt run would see if the exemption failed.
        start_namespace_proxy 0
        got=$(dig @192.0.2.1 +time=1 +tries=1 +short relayed.test A)
        [ "$got" != 192.0.2.53 ] || fail "the upstream answered a proxy that is not exempt"
        kill -TERM "$PROXY_PID"
        wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the control proxy did not end within $((WAIT_MS / 1000)) s of SIGTERM"
        return
    fi

    local run
    for run in first restarted; do
        echo "  $run proxy, as uid $uid" >&2
        start_namespace_proxy "$uid"
        # The client asks an outside resolver; the redirect hands the query to the proxy.
        got=$(ask blocked.test A 192.0.2.1 53)
        [ "$got" = "$(blocked_a blocked.test)" ] ||
            fail "$run proxy: a query to 192.0.2.1 was not answered by the proxy: [$got]"
        # Relayed: the proxy's own query to 198.51.100.1:53 must reach the stub, not itself.
        got=$(ask relayed.test A 192.0.2.1 53)
        [ "$got" = "$(stub_a relayed.test)" ] ||
            fail "$run proxy: a relayed query did not get the upstream's answer: [$got]"
        kill -TERM "$PROXY_PID"
        wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the $run proxy did not end within $((WAIT_MS / 1000)) s of SIGTERM"
    done
}

# ---- several upstreams -----------------------------------------------------------------------

# A stub on a port of its own ("--silent" for one that answers nothing); its port in STUB_PORT,
# its pid in STUB_PID.
start_another_stub() {
    local out=$WORK/stub.$RANDOM.port
    "$STUB" "$@" >"$out" &
    STUB_PID=$!
    PIDS+=("$STUB_PID")
    wait_until "$WAIT_MS" test -s "$out" || fail "a stub upstream did not start"
    STUB_PORT=$(head -n1 "$out")
}

# Asks NAME (A) and sets ELAPSED_MS and ANSWER (the status, then the records).
timed_ask() {
    local started
    started=$(now_ms)
    ANSWER=$(ask "$1" A)
    ELAPSED_MS=$(($(now_ms) - started))
}

# Answered within BOUND ms with the stub's record.
expect_relayed_within() {
    local bound=$1 what=$2
    timed_ask relayed.test
    [ "$ANSWER" = "$(printf 'NOERROR\nrelayed.test. 4242 IN A 192.0.2.53')" ] ||
        fail "$what: [$ANSWER]"
    [ "$ELAPSED_MS" -le "$bound" ] || fail "$what: answered after $ELAPSED_MS ms (bound $bound)"
}

# A first upstream on a closed port is passed over at once, over UDP and over TCP.
test_failover_refused_first() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_another_stub
    serve_on_free_port --upstream "127.0.0.1:$(free_port)" --upstream "127.0.0.1:$STUB_PORT" \
        --blocklist "$WORK/blocklist.txt"
    local transport
    for transport in +notcp +tcp; do
        ASK_TRANSPORT=$transport expect_relayed_within 500 "first upstream closed, $transport"
    done
}

# A silent first upstream costs the first queries its retransmission time, then is down: the
# next queries go to the second at once and the silent one gets only the occasional try; once it
# answers again it carries queries within seconds. Each change is one line on stderr.
test_failover_silent_first() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_another_stub --silent
    local silent_port=$STUB_PORT silent_pid=$STUB_PID
    start_another_stub
    local metrics_port
    metrics_port=$(free_port)
    READY=blocked.test serve_on_free_port --upstream "127.0.0.1:$silent_port" \
        --upstream "127.0.0.1:$STUB_PORT" --blocklist "$WORK/blocklist.txt" \
        --metrics "127.0.0.1:$metrics_port"
    expect_relayed_within 2000 "the first query, the first upstream silent"
    local i
    for i in 1 2 3; do
        ASK_TRANSPORT=+tcp expect_relayed_within 2000 "query $i over TCP"
    done
    grep -q "upstream 127.0.0.1:$silent_port is down" "$WORK/proxy.err" ||
        fail "no line says the silent upstream is down"
    for i in $(seq 20); do
        expect_relayed_within 300 "query $i with the silent upstream down"
    done
    local attempts
    attempts=$(curl -sf --max-time 5 "http://127.0.0.1:$metrics_port/metrics" |
        awk -v u="upstream=\"127.0.0.1:$silent_port\"" 'index($0, "sieveharbor_upstream_attempts_total{" u "}") == 1 { print $2 }')
    [ -n "$attempts" ] && [ "$attempts" -le 8 ] ||
        fail "the silent upstream got $attempts attempts: only its first queries and a few tries"
    kill -USR2 "$silent_pid"
    local healed=0 deadline=$(($(now_ms) + 15000))
    while [ "$(now_ms)" -lt "$deadline" ]; do
        ask relayed.test A >/dev/null
        if grep -q "upstream 127.0.0.1:$silent_port answers again" "$WORK/proxy.err"; then
            healed=1
            break
        fi
        sleep 0.2
    done
    [ "$healed" = 1 ] || fail "the healed upstream was not taken back within 15 s"
    [ "$(grep -c 'is down' "$WORK/proxy.err")" = 1 ] || fail "the down line more than once"
}

# With no upstream answering, the client gets SERVFAIL at the query's bound; with every one
# refusing, at once. Over UDP and over TCP.
test_failover_none_answers() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_another_stub --silent
    local first=$STUB_PORT
    start_another_stub --silent
    READY=blocked.test serve_on_free_port --upstream "127.0.0.1:$first" \
        --upstream "127.0.0.1:$STUB_PORT" --blocklist "$WORK/blocklist.txt"
    local transport
    for transport in +notcp +tcp; do
        # dig waits longer than the proxy's bound, which starts a moment after dig's clock.
        ASK_TIME=9 ASK_TRANSPORT=$transport timed_ask silent.test
        [ "$(head -n1 <<<"$ANSWER")" = SERVFAIL ] || fail "silent, $transport: [$ANSWER]"
        [ "$ELAPSED_MS" -ge 4500 ] && [ "$ELAPSED_MS" -le 6500 ] ||
            fail "silent, $transport: SERVFAIL after $ELAPSED_MS ms, not 4.5 to 6.5 s"
    done
    kill -TERM "$PROXY_PID"
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not stop"
    READY=blocked.test serve_on_free_port --upstream "127.0.0.1:$(free_port)" \
        --upstream "[::1]:$(free_port)" --blocklist "$WORK/blocklist.txt"
    for transport in +notcp +tcp; do
        ASK_TRANSPORT=$transport timed_ask refused.test
        [ "$(head -n1 <<<"$ANSWER")" = SERVFAIL ] || fail "refused, $transport: [$ANSWER]"
        [ "$ELAPSED_MS" -le 1000 ] || fail "refused, $transport: SERVFAIL after $ELAPSED_MS ms"
    done
}

# The counters at /metrics: every scrape parses as the Prometheus text format, the counts move as
# the queries asked between two scrapes say, and any other path or method gets 404.
test_metrics() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    local metrics_port
    metrics_port=$(free_port)
    start_service --metrics "127.0.0.1:$metrics_port"
    local url=http://127.0.0.1:$metrics_port
    curl -sf --max-time 5 "$url/metrics" >"$WORK/before.prom" || fail "no scrape at $url/metrics"
    ask blocked.test A >/dev/null
    ask www.blocked.test AAAA >/dev/null
    ask blocked.test HTTPS >/dev/null
    ask relayed.test A >/dev/null
    ASK_TRANSPORT=+tcp ask relayed.test A >/dev/null
    curl -sf --max-time 5 "$url/metrics" >"$WORK/after.prom" || fail "no second scrape"
    # Debian's interpreter, which the packaged parser is installed for.
    /usr/bin/python3 - "$WORK/before.prom" "$WORK/after.prom" "127.0.0.1:$UPSTREAM_PORT" <<'PY' ||
        fail "the scrapes do not add up"
import sys
from prometheus_client.parser import text_string_to_metric_families

def samples(path):
    out = {}
    for family in text_string_to_metric_families(open(path).read()):
        assert family.name.startswith("sieveharbor_"), family.name
        for s in family.samples:
            out[(s.name, tuple(sorted(s.labels.items())))] = s.value
    return out

before, after = samples(sys.argv[1]), samples(sys.argv[2])
def moved(name, **labels):
    key = (name, tuple(sorted(labels.items())))
    return after[key] - before[key]
expected = [
    (moved("sieveharbor_queries_received_total", transport="udp"), 4),
    (moved("sieveharbor_queries_received_total", transport="tcp"), 1),
    (moved("sieveharbor_queries_answered_total", kind="a"), 1),
    (moved("sieveharbor_queries_answered_total", kind="aaaa"), 1),
    (moved("sieveharbor_queries_answered_total", kind="https_name_error"), 1),
    (moved("sieveharbor_queries_relayed_total"), 2),
    (moved("sieveharbor_upstream_exchanges_total", outcome="reply"), 2),
    (moved("sieveharbor_upstream_attempts_total", upstream=sys.argv[3]), 2),
    (moved("sieveharbor_upstream_replies_total", upstream=sys.argv[3]), 2),
    (after[("sieveharbor_upstream_up", (("upstream", sys.argv[3]),))], 1),
    (after[("sieveharbor_blocklist_entries", ())], 1),
    (after[("sieveharbor_blocklist_reloads_total", (("outcome", "accepted"),))], 1),
]
for got, want in expected:
    assert got == want, (got, want, expected)
received = sum(v for (n, _), v in after.items() if n == "sieveharbor_queries_received_total")
settled = sum(v for (n, _), v in after.items() if n in (
    "sieveharbor_queries_answered_total", "sieveharbor_queries_relayed_total",
    "sieveharbor_queries_dropped_total"))
assert received == settled, (received, settled)
PY
    local request code
    for request in "GET /" "GET /metricsx" "POST /metrics" "DELETE /metrics" "HEAD /metrics"; do
        local method=(-X "${request% *}")
        [ "${request% *}" = HEAD ] && method=(--head)  # no body to wait for
        code=$(curl -s --max-time 5 -o /dev/null -w '%{http_code}' "${method[@]}" \
            "$url${request#* }")
        [ "$code" = 404 ] || fail "$request: HTTP $code, expected 404"
    done
    # The same endpoint on IPv6 loopback, where the machine has it.
    if has_ipv6_loopback; then
        kill -TERM "$PROXY_PID"
        wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not end within $((WAIT_MS / 1000)) s of SIGTERM"
        metrics_port=$(free_port)
        start_service --metrics "[::1]:$metrics_port"
        # Whole before grep looks: a grep that quits early would end curl with a broken pipe.
        curl -sf --max-time 5 -o "$WORK/v6.prom" "http://[::1]:$metrics_port/metrics" &&
            grep -q '^sieveharbor_' "$WORK/v6.prom" || fail "no scrape at [::1]:$metrics_port"
    fi
}

# --- lists in other formats, and keeping them fresh --------------------------------------------

# A hosts file, with its boilerplate, several names a line, inline comments and CR LF line ends,
# converted and loaded: its names are blocked, and nothing else.
test_hosts_list_converted() {
    printf '127.0.0.1 localhost\r\n::1 localhost ip6-localhost\r\n# ads\r\n0.0.0.0 ads.example.com tracker.example.net # both\r\n127.0.0.1 *.wild.example\r\n192.0.2.7 redirected.example\r\n' >"$WORK/hosts"
    "$LIST" -o "$WORK/blocklist.txt" "$WORK/hosts" 2>"$WORK/list.err" ||
        fail "sieveharbor-list failed: $(cat "$WORK/list.err")"
    [ "$(grep -v '^#' "$WORK/blocklist.txt")" = "$(printf 'ads.example.com\ntracker.example.net\nwild.example')" ] ||
        fail "unexpected list: $(cat "$WORK/blocklist.txt")"
    grep -qx "sieveharbor-list: skipped 1 names pointed at a real address" "$WORK/list.err" ||
        fail "the redirect was not counted: $(cat "$WORK/list.err")"
    start_service
    local name
    for name in ads.example.com www.tracker.example.net wild.example a.wild.example; do
        expect_answer "$name" A "$(blocked_a "$name")"
    done
    for name in localhost ip6-localhost redirected.example example.com; do
        expect_answer "$name" A "$(stub_a "$name")"
    done
}

# Clients ask for the IDNA ASCII form; a list may hold either form.
test_idn_entries() {
    printf 'b\xc3\xbccher.example\nxn--caf-dma.example\n' >"$WORK/blocklist.txt"
    start_service
    expect_answer xn--bcher-kva.example A "$(blocked_a xn--bcher-kva.example)"
    expect_answer www.xn--bcher-kva.example A "$(blocked_a www.xn--bcher-kva.example)"
    expect_answer xn--caf-dma.example A "$(blocked_a xn--caf-dma.example)"
    # The name as raw UTF-8, as a few clients send it.
    local got
    got=$(dig +noidnin +noidnout -p "$PORT" @127.0.0.1 +time=5 +tries=1 +short "caf$(printf '\xc3\xa9').example" A)
    [ "$got" = 0.0.0.0 ] || fail "café.example in UTF-8 was not blocked: [$got]"
    expect_answer xn--bcher-kvb.example A "$(stub_a xn--bcher-kvb.example)"
}

test_list_exit_statuses() {
    printf 'old.example\n' >"$WORK/blocklist.txt"
    local status
    "$LIST" --bogus "$WORK/x" 2>"$WORK/list.err"
    status=$?
    [ "$status" -eq 2 ] && [ "$(tail -n1 "$WORK/list.err")" = "Try 'sieveharbor-list --help' for usage." ] ||
        fail "bad option: status $status, $(cat "$WORK/list.err")"
    "$LIST" 2>/dev/null
    [ $? -eq 2 ] || fail "no input: expected status 2"
    "$LIST" -o "$WORK/blocklist.txt" "$WORK/missing.txt" 2>"$WORK/list.err"
    status=$?
    [ "$status" -eq 1 ] && grep -qx "sieveharbor-list: cannot read $WORK/missing.txt: No such file or directory" "$WORK/list.err" ||
        fail "missing input: status $status, $(cat "$WORK/list.err")"
    [ "$(cat "$WORK/blocklist.txt")" = old.example ] || fail "a failed run changed the output"
    printf '||new.example^\n' | "$LIST" -o "$WORK/no/such/folder/list.txt" - 2>"$WORK/list.err"
    status=$?
    [ "$status" -eq 1 ] && grep -qx "sieveharbor-list: cannot write $WORK/no/such/folder/list.txt: No such file or directory" "$WORK/list.err" ||
        fail "unwritable output: status $status, $(cat "$WORK/list.err")"
    printf '||new.example^\n' | "$LIST" -o "$WORK/blocklist.txt" - 2>/dev/null ||
        fail "standard input: status $?"
    [ "$(grep -v '^#' "$WORK/blocklist.txt")" = new.example ] || fail "standard input was not read"
}

# The packaged update script with file:// sources: the list changes only when every source is
# fetched, gives entries, and the new list has at least half the old one's entries.
test_update_lists() {
    local script
    script="$(cd "$(dirname "$0")/../.." && pwd)/packaging/sieveharbor-update-lists"
    printf '0.0.0.0 ads.example\n0.0.0.0 tracker.example\n' >"$WORK/hosts"
    printf '||pixel.example^\n' >"$WORK/adblock"
    printf '<html><body>Please log in</body></html>\n' >"$WORK/portal"
    printf '0.0.0.0 ads.example\n' >"$WORK/short"
    printf 'old.example\n' >"$WORK/blocklist.txt"
    chmod 640 "$WORK/blocklist.txt"
    update() { # sources...
        printf 'file://%s\n' "$@" >"$WORK/sources.list"
        SIEVEHARBOR_SOURCES="$WORK/sources.list" SIEVEHARBOR_BLOCKLIST="$WORK/blocklist.txt" \
            SIEVEHARBOR_ALLOW="$WORK/allow.list" SIEVEHARBOR_LIST="$LIST" \
            bash "$script" 2>"$WORK/update.err"
    }
    start_service
    update "$WORK/hosts" "$WORK/adblock" || fail "the update failed: $(cat "$WORK/update.err")"
    await_answer pixel.example "$(blocked_a pixel.example)" "$WAIT_MS"
    expect_answer old.example A "$(stub_a old.example)"
    [ "$(stat -c %a "$WORK/blocklist.txt")" = 640 ] || fail "the list's mode changed"
    local before
    before=$(cat "$WORK/blocklist.txt")
    local trial
    for trial in "missing:$WORK/hosts $WORK/missing" "portal:$WORK/hosts $WORK/portal" "short:$WORK/short"; do
        # shellcheck disable=SC2086
        if update ${trial#*:}; then
            fail "${trial%%:*}: the update succeeded: $(cat "$WORK/update.err")"
        fi
        grep -q "stays as it is" "$WORK/update.err" || fail "${trial%%:*}: $(cat "$WORK/update.err")"
        [ "$(cat "$WORK/blocklist.txt")" = "$before" ] || fail "${trial%%:*}: the list changed"
        echo "  ${trial%%:*}: $(tail -n1 "$WORK/update.err")" >&2
    done
    # An allow list is honoured; fewer entries, but not fewer than half.
    printf 'pixel.example\n' >"$WORK/allow.list"
    update "$WORK/hosts" "$WORK/adblock" || fail "the update with an allow list failed: $(cat "$WORK/update.err")"
    await_answer pixel.example "$(stub_a pixel.example)" "$WAIT_MS"
    expect_answer ads.example A "$(blocked_a ads.example)"
}

# --- DNS over TLS ----------------------------------------------------------------------------

# A test authority, a certificate from it for dns.test and 127.0.0.1, and an authority the proxy
# does not know; in $WORK/tls.
make_certificates() {
    local dir=$WORK/tls
    mkdir -p "$dir"
    (
        cd "$dir" || exit 1
        for ca in ca other-ca; do
            openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
                -subj "/CN=SieveHarbor test $ca" -keyout "$ca.key" -out "$ca.pem" 2>/dev/null || exit 1
        done
        openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=dns.test \
            -keyout server.key -out server.csr 2>/dev/null &&
            printf 'subjectAltName=DNS:dns.test,IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >server.ext &&
            openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
                -extfile server.ext -out server.pem 2>/dev/null
    ) || fail "openssl could not make the test certificates"
}

# The TLS stub with ARGS; TLS_PORT is its port, $WORK/tls.log its lines ("connection", "query
# NAME").
start_tls_stub() {
    [ -s "$WORK/tls/server.pem" ] || make_certificates
    local out=$WORK/tls.$RANDOM.port
    : >"$WORK/tls.log"
    "$TLS_STUB" --cert "$WORK/tls/server.pem" --key "$WORK/tls/server.key" --log "$WORK/tls.log" --log-queries \
        "$@" >"$out" &
    TLS_STUB_PID=$!
    PIDS+=("$TLS_STUB_PID")
    wait_until "$WAIT_MS" test -s "$out" || fail "the TLS stub did not start"
    TLS_PORT=$(head -n1 "$out")
}

# The TLS stub, and the proxy relaying to it alone, trusting the test authority.
start_tls_service() {
    start_tls_stub "$@"
    READY=blocked.test serve_on_free_port --upstream "tls://127.0.0.1:$TLS_PORT#dns.test" \
        --tls-ca "$WORK/tls/ca.pem" --blocklist "$WORK/blocklist.txt"
}

stop_proxy() {
    kill -TERM "$PROXY_PID"
    wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy did not stop"
}

tls_lines() { grep -c "^$1" "$WORK/tls.log"; }

# dig's view of a reply, but for the ID and timings.
dig_view() {
    dig "$@" +time=5 +tries=1 | grep -v -e 'id: ' -e '^;; Query time' -e '^;; SERVER' \
        -e '^;; WHEN' -e '^;; MSG SIZE' -e '^; <<>>'
}

# A reply relayed over TLS is the resolver's, byte for byte but for the client's ID, over UDP and
# TCP; an upstream named by address alone is verified against the certificate's addresses; a
# blocked name never reaches the resolver; a reload takes effect with the TLS upstream.
test_tls_relayed_unchanged() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_tls_service
    local name through direct transport
    for name in www.example.org relayed.test; do
        direct=$(dig_view +tls +tls-ca="$WORK/tls/ca.pem" +tls-hostname=dns.test -p "$TLS_PORT" \
            @127.0.0.1 "$name" A)
        [ -n "$direct" ] || fail "the TLS stub did not answer $name"
        for transport in +notcp +tcp; do
            through=$(dig_view "$transport" -p "$PORT" @127.0.0.1 "$name" A)
            [ "$through" = "$direct" ] ||
                fail "$name, $transport, relayed over TLS:\n$through\n--- the stub:\n$direct"
        done
    done
    expect_answer blocked.test A "$(blocked_a blocked.test)"
    ! grep -q 'query blocked.test' "$WORK/tls.log" || fail "a blocked name reached the resolver"
    printf 'relayed.test\n' >"$WORK/blocklist.txt"
    kill -HUP "$PROXY_PID"
    await_answer relayed.test "$(blocked_a relayed.test)" "$WAIT_MS"
    ASK_TRANSPORT=+tcp expect_answer blocked.test A "$(stub_a blocked.test)"
    stop_proxy
    serve_on_free_port --upstream "tls://127.0.0.1:$TLS_PORT" --tls-ca "$WORK/tls/ca.pem" \
        --blocklist "$WORK/blocklist.txt"
    expect_answer by-address.test A "$(stub_a by-address.test)"
}

# Queries share the connection: 100 asked one after another use at most 2; 500 sent at once from
# 50 sockets, all under one ID, each get their own answer under that ID. The counters say so.
test_tls_connections_shared() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    local metrics_port
    metrics_port=$(free_port)
    start_tls_stub
    READY=blocked.test serve_on_free_port --upstream "tls://127.0.0.1:$TLS_PORT#dns.test" \
        --tls-ca "$WORK/tls/ca.pem" --blocklist "$WORK/blocklist.txt" \
        --metrics "127.0.0.1:$metrics_port"
    local i
    for i in $(seq 100); do
        [ "$(dig -p "$PORT" @127.0.0.1 +time=5 +tries=1 +short "q$i.test" A)" = 192.0.2.53 ] ||
            fail "sequential query $i"
    done
    [ "$(tls_lines connection)" -le 2 ] || fail "100 queries took $(tls_lines connection) connections"
    timeout 30 python3 - "$PORT" <<'PY' || fail "500 queries from 50 sockets under one ID"
import select, socket, struct, sys, time
port = int(sys.argv[1])
def query(name):
    labels = b"".join(bytes([len(l)]) + l.encode() for l in name.split("."))
    return struct.pack(">HHHHHH", 0x4242, 0x0100, 1, 0, 0, 0) + labels + b"\0" + struct.pack(">HH", 1, 1)
sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(50)]
owed = {}
for s, sock in enumerate(sockets):
    for n in range(10):
        name = f"s{s}-n{n}.test"
        sock.sendto(query(name), ("127.0.0.1", port))
        owed.setdefault(sock, set()).add(name)
deadline = time.time() + 20
while any(owed.values()) and time.time() < deadline:
    ready, _, _ = select.select(sockets, [], [], 1)
    for sock in ready:
        data = sock.recv(4096)
        qid, flags = struct.unpack(">HH", data[:4])
        i, labels = 12, []
        while data[i]:
            labels.append(data[i + 1:i + 1 + data[i]].decode()); i += 1 + data[i]
        name = ".".join(labels)
        if qid != 0x4242 or not flags & 0x8000 or data[-4:] != bytes([192, 0, 2, 53]):
            sys.exit(f"{name}: a reply that is not its answer")
        if name not in owed[sock]:
            sys.exit(f"{name}: answered on the wrong socket, or twice")
        owed[sock].discard(name)
left = sum(len(v) for v in owed.values())
sys.exit(f"{left} unanswered" if left else 0)
PY
    local page
    page=$(curl -sf --max-time 5 "http://127.0.0.1:$metrics_port/metrics") || fail "no metrics"
    local label="upstream=\"tls://127.0.0.1:$TLS_PORT#dns.test\""
    grep -qx "sieveharbor_upstream_tls_connections_open{$label} 1" <<<"$page" ||
        fail "connections open: $(grep connections_open <<<"$page")"
    local full
    full=$(awk -v k="sieveharbor_upstream_tls_handshakes_total{$label,kind=\"full\"}" '$1 == k { print $2 }' <<<"$page")
    [ -n "$full" ] && [ "$full" -ge 1 ] && [ "$full" -le "$(tls_lines connection)" ] ||
        fail "full handshakes [$full] for $(tls_lines connection) connections"
}

# A certificate for another name, or from an authority the proxy does not trust, gets no query
# through: SERVFAIL, one line naming the upstream and why. A --tls-ca that cannot be used stops
# the proxy before it serves.
test_tls_refused_certificates() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_tls_stub
    local trust
    for trust in name authority; do
        if [ "$trust" = name ]; then
            READY=blocked.test serve_on_free_port --upstream "tls://127.0.0.1:$TLS_PORT#wrong.test" \
                --tls-ca "$WORK/tls/ca.pem" --blocklist "$WORK/blocklist.txt"
        else
            READY=blocked.test serve_on_free_port --upstream "tls://127.0.0.1:$TLS_PORT#dns.test" \
                --blocklist "$WORK/blocklist.txt"  # the system's authorities only
        fi
        local i
        for i in 1 2; do
            [ "$(ask refused.test A)" = SERVFAIL ] || fail "$trust refused: [$(ask refused.test A)]"
        done
        ! grep -q '^query' "$WORK/tls.log" || fail "$trust refused: a query reached the resolver"
        [ "$(grep -c "upstream tls://127.0.0.1:$TLS_PORT#.* refused: " "$WORK/proxy.err")" = 1 ] ||
            fail "$trust refused: not one line saying so: $(cat "$WORK/proxy.err")"
        echo "  $trust: $(grep refused "$WORK/proxy.err")" >&2
        stop_proxy
    done
    printf 'no certificate here\n' >"$WORK/not-a-ca.pem"
    local file
    for file in "$WORK/missing.pem" "$WORK/not-a-ca.pem"; do
        start_proxy --listen "127.0.0.1:$(free_port)" --upstream "tls://127.0.0.1:$TLS_PORT" \
            --tls-ca "$file"
        wait_exit "$PROXY_PID" "$WAIT_MS" || fail "the proxy kept running with --tls-ca $file"
        [ "$STATUS" -eq 1 ] || fail "--tls-ca $file: exit status $STATUS, expected 1"
        [ "$(wc -l <"$WORK/proxy.err")" = 1 ] && grep -q -- "--tls-ca $file" "$WORK/proxy.err" ||
            fail "--tls-ca $file: $(cat "$WORK/proxy.err")"
    done
}

# A resolver that closes after every 3 answers, or whose every other connection reads a query and
# closes unanswered, loses no query: what a closed connection owed goes again on the next.
test_tls_lost_connections() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    local trial closing
    for trial in "--close-after 3:8" "--close-unanswered-every 2:2"; do
        closing=${trial%:*}
        # shellcheck disable=SC2086
        start_tls_service $closing
        local i
        for i in $(seq 12); do
            expect_answer "q$i.test" A "$(stub_a "q$i.test")"
        done
        local answers
        answers=$(for i in $(seq 20); do
            dig -p "$PORT" @127.0.0.1 +time=5 +tries=1 +short "p$i.test" A &
        done; wait)
        [ "$(grep -c '^192.0.2.53$' <<<"$answers")" = 20 ] ||
            fail "$closing: 20 at once, answered: $(grep -c '^192.0.2.53$' <<<"$answers")"
        [ "$(tls_lines connection)" -ge "${trial##*:}" ] ||
            fail "$closing: $(tls_lines connection) connections: the stub closed too few"
        stop_proxy
        kill "$TLS_STUB_PID"
    done
}

# A reply too big for a UDP client comes back truncated (TC) for it to ask again over TCP, where
# it is whole; the client's EDNS size decides.
test_tls_large_replies() {
    printf 'blocked.test\n' >"$WORK/blocklist.txt"
    start_tls_service
    local view
    for view in "+noedns" "+bufsize=512"; do
        local reply
        reply=$(dig +notcp $view +ignore -p "$PORT" @127.0.0.1 +time=5 +tries=1 big.test A)
        grep -q 'flags: qr tc rd ra;' <<<"$reply" && grep -q 'ANSWER: 0,' <<<"$reply" ||
            fail "$view: not truncated:\n$reply"
    done
    local records
    for view in "+tcp" "+notcp +bufsize=1232"; do
        # shellcheck disable=SC2086
        records=$(dig $view +ignore -p "$PORT" @127.0.0.1 +time=5 +tries=1 +short big.test A | wc -l)
        [ "$records" = 40 ] || fail "$view: $records records, expected 40"
    done
}

# --- entry -------------------------------------------------------------------------------------

# The tests are listed once, in CMakeLists.txt; any function test_NAME here runs as NAME.
if [ -n "${1:-}" ] && declare -F "test_$1" >/dev/null; then
    "test_$1" "${@:2}"
    echo "PASS: $1"
else
    echo "usage: $0 TEST" >&2
    exit 2
fi
