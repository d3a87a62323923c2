#!/usr/bin/env bash
# Checks a system extension bundle built here for macOS, which cannot run here: the executable
# holds both architectures, defines the provider class under the name the system looks for, links
# only the system's frameworks and libraries and imports no symbol only Linux has; Info.plist and
# the entitlements hold exactly the keys they must.
# Usage: check_bundle.sh BUNDLE ENTITLEMENTS TEAM_ID VERSION
set -euo pipefail
if [ $# -ne 4 ]; then
    echo "usage: check_bundle.sh BUNDLE ENTITLEMENTS TEAM_ID VERSION" >&2
    exit 2
fi
bundle=${1%/} entitlements=$2 team=$3 version=$4
# Debian keeps LLVM's unversioned tools in /usr/lib/llvm-<version>/bin.
for dir in /usr/lib/llvm-*/bin; do
    [ -d "$dir" ] && PATH="$PATH:$dir"
done
executable="$bundle/Contents/MacOS/com.brackenmoor.sieveharbor.proxy"
failures=0
fail() {
    echo "check_bundle: $*" >&2
    failures=$((failures + 1))
}

[ -f "$executable" ] || { echo "check_bundle: no executable at $executable" >&2; exit 1; }

archs=$(llvm-lipo -archs "$executable")
echo "architectures: $archs"
for arch in arm64 x86_64; do
    grep -qw "$arch" <<<"$archs" || fail "the executable has no $arch slice"
done

for arch in arm64 x86_64; do
    symbols=$(llvm-nm --arch="$arch" "$executable")
    grep -q ' S _OBJC_CLASS_\$_com_brackenmoor_sieveharbor_proxy.DNSProxyProvider$' <<<"$symbols" ||
        fail "$arch: the class com_brackenmoor_sieveharbor_proxy.DNSProxyProvider is not defined"
    # Calls only Linux has, which the portable core and the adapter must never reach.
    linux_only=$(llvm-nm --arch="$arch" -u "$executable" |
        grep -E '_(epoll_[a-z_]+|inotify_[a-z_0-9]+|eventfd|signalfd|accept4|recvmmsg|sendmmsg|getrandom|sd_[a-z_]+|MHD_[A-Za-z_]+|__errno_location)$' || true)
    [ -z "$linux_only" ] || fail "$arch imports Linux-only symbols: $linux_only"
done

echo "libraries linked:"
llvm-objdump --macho --dylibs-used --arch=arm64 "$executable" | tail -n +2 | sed 's/ (.*//; s/^[[:space:]]*/  /' | tee /tmp/check_bundle_dylibs.$$
while read -r library; do
    case $library in
    /System/Library/Frameworks/* | /usr/lib/*) ;;
    *) fail "links $library, which is not a system framework or library" ;;
    esac
done </tmp/check_bundle_dylibs.$$
rm -f /tmp/check_bundle_dylibs.$$

python3 - "$bundle/Contents/Info.plist" "$entitlements" "$team" "$version" <<'PY' || failures=$((failures + 1))
import plistlib, sys
info_path, entitlements_path, team, version = sys.argv[1:]
with open(info_path, "rb") as f:
    info = plistlib.load(f)
with open(entitlements_path, "rb") as f:
    entitlements = plistlib.load(f)
expected_info = {
    "CFBundleIdentifier": "com.brackenmoor.sieveharbor.proxy",
    "CFBundlePackageType": "SYSX",
    "CFBundleExecutable": "com.brackenmoor.sieveharbor.proxy",
    "CFBundleShortVersionString": version,
    "CFBundleVersion": version,
    "LSMinimumSystemVersion": "11.0",
    "NetworkExtension": {
        "NEMachServiceName": "group.com.brackenmoor.sieveharbor.proxy",
        "NEProviderClasses": {
            "com.apple.networkextension.dns-proxy": "com_brackenmoor_sieveharbor_proxy.DNSProxyProvider",
        },
    },
}
expected_entitlements = {
    "com.apple.application-identifier": f"{team}.com.brackenmoor.sieveharbor.proxy",
    "com.apple.developer.team-identifier": team,
    "com.apple.developer.networking.networkextension": ["dns-proxy-systemextension"],
    "com.apple.security.app-sandbox": True,
    "com.apple.security.application-groups": ["group.com.brackenmoor.sieveharbor"],
    "com.apple.security.network.client": True,
    "com.apple.security.temporary-exception.files.absolute-path.read-only": ["/Users/"],
}
ok = True
for name, got, want in (("Info.plist", info, expected_info), ("entitlements", entitlements, expected_entitlements)):
    if got != want:
        ok = False
        print(f"check_bundle: {name} differs from what it must hold", file=sys.stderr)
        for key in sorted(set(got) | set(want)):
            if got.get(key) != want.get(key):
                print(f"  {key}: {got.get(key)!r}, expected {want.get(key)!r}", file=sys.stderr)
print("Info.plist and entitlements: " + ("as expected" if ok else "NOT as expected"))
sys.exit(0 if ok else 1)
PY

if [ "$failures" -gt 0 ]; then
    echo "check_bundle: $failures check(s) failed" >&2
    exit 1
fi
echo "the bundle passes every check"
