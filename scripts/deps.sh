# Sourced by the scripts in this folder: installs Debian packages that are not yet installed.
# Nothing is installed when everything is already there, so a second run touches no network.

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing missing Debian packages: ${missing[*]}" >&2
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# What building and testing needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libicu-dev libsystemd-dev libssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev libmicrohttpd-dev)
# What the macOS cross-build of the core needs: clang, ld64.lld and LLVM's Mach-O tools.
MACOS_CROSS_PACKAGES=(clang lld llvm)
# What the end-to-end tests drive the proxy with (systemd for systemd-socket-activate, nftables
# for the redirect), readelf for the hardening check, curl for the list update script and the
# metrics endpoint, and the Prometheus text parser for the latter.
TEST_PACKAGES=(bind9-dnsutils util-linux procps iproute2 systemd nftables binutils curl
    python3-prometheus-client openssl)
