#!/usr/bin/env bash
# The run command: installs what is missing, builds a release and runs the proxy on loopback
# with the sample blocklist. Extra arguments go to the proxy (for example --debug).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
# ca-certificates: the system authorities a tls:// upstream is checked against.
ensure_packages "${BUILD_PACKAGES[@]}" bind9-dnsutils ca-certificates
cmake --preset release >/dev/null
cmake --build --preset release --target sieveharbor-proxy

listen=(--listen 127.0.0.1:53)
addresses="127.0.0.1 port 53"
if ip -6 addr show lo 2>/dev/null | grep -q '::1/128'; then
    listen+=(--listen '[::1]:53')
    addresses+=" and [::1] port 53"
fi
blocklist="$PWD/packaging/sample-blocklist.txt"
cat <<TXT
SieveHarbor listens on $addresses, with the blocklist
  $blocklist
Blocked names are answered at once; every other query goes to the filtering resolver 1.1.1.3.
Try, from another terminal:
  dig @127.0.0.1 ads.example.com A        (blocked: 0.0.0.0)
  dig @127.0.0.1 ads.example.com AAAA     (blocked: ::)
  dig @127.0.0.1 debian.org A             (relayed upstream)
Edit the blocklist and it is reloaded at once (or: kill -HUP <pid>). Stop with Ctrl-C.
TXT
exec build/release/src/main/sieveharbor-proxy "${listen[@]}" --blocklist "$blocklist" "$@"
