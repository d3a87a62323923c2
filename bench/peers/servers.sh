# Sourced by run.sh: how each server under test is configured, started, reloaded and stopped.
# Every server listens on 127.0.0.1:$PORT, forwards to the stub on 127.0.0.1:$STUB_PORT, blocks
# the names of one list file (and everything beneath them) and runs pinned to $SERVER_CPU. With
# FIRST_UPSTREAM_PORT set, each is given an upstream on that port first and the stub second, with
# its own way of failing over (unbound: both as forward addresses; dnsdist: two backends, its
# default health checks, the first available).
# Expects PORT, STUB_PORT, SERVER_CPU, WORK and BIN set by the caller.

SERVERS_ALL=(sieveharbor dnsmasq unbound dnsdist)

# Writes the server's configuration for LIST into $WORK/conf/NAME.*; run outside the timed load.
configure_server() {
    local name=$1 list=$2
    mkdir -p "$WORK/conf"
    case $name in
    sieveharbor | sieveharbor-before | reflector) ;;
    dnsmasq)
        {
            cat <<CONF
port=$PORT
listen-address=127.0.0.1
bind-interfaces
no-resolv
no-hosts
no-poll
server=127.0.0.1#$STUB_PORT
cache-size=0
dns-forward-max=4096
pid-file=
log-facility=/dev/null
CONF
            # Two lines per entry: dnsmasq answers a type it has no address for with NODATA.
            awk '!/^#/ && NF { print "address=/" $1 "/0.0.0.0"; print "address=/" $1 "/::" }' "$list"
        } >"$WORK/conf/dnsmasq.conf"
        ;;
    unbound)
        {
            cat <<CONF
server:
    interface: 127.0.0.1
    port: $PORT
    do-ip6: no
    # TCP is on for the TCP rows, as every server under test serves it.
    do-tcp: yes
    incoming-num-tcp: 64
    num-threads: 1
    username: ""
    chroot: ""
    directory: "$WORK"
    pidfile: ""
    use-syslog: no
    logfile: ""
    verbosity: 0
    do-not-query-localhost: no
    module-config: "iterator"
    so-rcvbuf: 4m
    num-queries-per-thread: 4096
    outgoing-range: 8192
    # Caches cannot be switched off: they are made as small as unbound allows, and every
    # record expires at once, so each forwarded query reaches the stub.
    msg-cache-size: 0
    rrset-cache-size: 0
    key-cache-size: 0
    neg-cache-size: 0
    infra-cache-numhosts: 16
    cache-max-ttl: 0
    cache-max-negative-ttl: 0
    prefetch: no
    minimal-responses: yes
CONF
            echo "    include: \"$WORK/conf/unbound-zones.conf\""
            if [ -n "${TLS_UPSTREAM_PORT:-}" ]; then
                echo "    tls-cert-bundle: \"$WORK/tls/ca.pem\""
                echo 'forward-zone:'
                echo '    name: "."'
                echo '    forward-tls-upstream: yes'
                echo "    forward-addr: 127.0.0.1@$TLS_UPSTREAM_PORT#dns.test"
            else
                echo 'forward-zone:'
                echo '    name: "."'
                [ -n "${FIRST_UPSTREAM_PORT:-}" ] && echo "    forward-addr: 127.0.0.1@$FIRST_UPSTREAM_PORT"
                echo "    forward-addr: 127.0.0.1@$STUB_PORT"
            fi
        } >"$WORK/conf/unbound.conf"
        awk '!/^#/ && NF { print "local-zone: \"" $1 ".\" always_null" }' "$list" \
            >"$WORK/conf/unbound-zones.conf"
        ;;
    dnsdist)
        cat >"$WORK/conf/dnsdist.conf" <<CONF
-- No security polling: it would look up a name on the internet.
setSecurityPollSuffix("")
setLocal("127.0.0.1:$PORT")
$(if [ -n "${TLS_UPSTREAM_PORT:-}" ]; then
    echo "newServer({address=\"127.0.0.1:$TLS_UPSTREAM_PORT\", tls=\"openssl\", subjectName=\"dns.test\", caStore=\"$WORK/tls/ca.pem\", validateCertificates=true, checkInterval=3600})"
elif [ -n "${FIRST_UPSTREAM_PORT:-}" ]; then
    echo "newServer({address=\"127.0.0.1:$FIRST_UPSTREAM_PORT\", order=1})"
    echo "newServer({address=\"127.0.0.1:$STUB_PORT\", order=2})"
    echo "setServerPolicy(firstAvailable)"
else
    echo "newServer({address=\"127.0.0.1:$STUB_PORT\", checkInterval=3600})"
fi)
setMaxUDPOutstanding(65535)

local function loadList(path)
  local smn = newSuffixMatchNode()
  for line in io.lines(path) do
    if line ~= "" and line:sub(1, 1) ~= "#" then smn:add(line) end
  end
  return smn
end

local function blockRules(smn)
  return {newRuleAction(SuffixMatchNodeRule(smn, true), SpoofAction({"0.0.0.0", "::"}, {ttl=60}))}
end

setRules(blockRules(loadList("$list")))

-- dnsdist has no file watch: the benchmark asks for a reload by creating this flag file, and
-- the once-a-second maintenance hook rebuilds the set and swaps the rules.
function maintenance()
  local flag = io.open("$WORK/dnsdist.reload")
  if flag then
    flag:close()
    os.remove("$WORK/dnsdist.reload")
    setRules(blockRules(loadList("$list")))
  end
end
CONF
        ;;
    *)
        echo "unknown server $name" >&2
        return 1
        ;;
    esac
}

# Starts NAME for LIST in the background, pinned; sets SERVER_PID.
start_server() {
    local name=$1 list=$2
    local pin=(taskset -c "$SERVER_CPU")
    case $name in
    sieveharbor | sieveharbor-before)
        local proxy=$PROXY
        [ "$name" = sieveharbor-before ] && proxy=$BEFORE_PROXY
        local upstreams=(--upstream "127.0.0.1:$STUB_PORT")
        [ -n "${FIRST_UPSTREAM_PORT:-}" ] &&
            upstreams=(--upstream "127.0.0.1:$FIRST_UPSTREAM_PORT" "${upstreams[@]}")
        [ -n "${TLS_UPSTREAM_PORT:-}" ] &&
            upstreams=(--upstream "tls://127.0.0.1:$TLS_UPSTREAM_PORT#dns.test" --tls-ca "$WORK/tls/ca.pem")
        "${pin[@]}" "$proxy" --listen "127.0.0.1:$PORT" "${upstreams[@]}" \
            --blocklist "$list" "${SIEVEHARBOR_EXTRA[@]}" &
        ;;
    reflector)
        "${pin[@]}" "$BIN/bench-reflector" --port "$PORT" --seconds "$SERVER_LIFETIME" &
        ;;
    dnsmasq)
        "${pin[@]}" dnsmasq --keep-in-foreground --conf-file="$WORK/conf/dnsmasq.conf" &
        ;;
    unbound)
        "${pin[@]}" unbound -d -c "$WORK/conf/unbound.conf" &
        ;;
    dnsdist)
        "${pin[@]}" dnsdist --supervised --disable-syslog -C "$WORK/conf/dnsdist.conf" >/dev/null &
        ;;
    esac
    SERVER_PID=$!
}

# Asks the running server to load its list again; returns 1 where the server has no reload.
reload_server() {
    local name=$1
    case $name in
    sieveharbor | sieveharbor-before | unbound) kill -HUP "$SERVER_PID" ;;
    dnsdist) : >"$WORK/dnsdist.reload" ;;
    *) return 1 ;;
    esac
}

# Whether NAME reloads its list without a restart.
can_reload() {
    case $1 in
    sieveharbor | sieveharbor-before | unbound | dnsdist) return 0 ;;
    *) return 1 ;;
    esac
}

stop_server() {
    [ -n "${SERVER_PID:-}" ] || return 0
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    local i
    for i in $(seq 50); do
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
    SERVER_PID=
}
