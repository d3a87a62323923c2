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
source "$(dirname "$0")/bundle_checks.sh"
executable="$bundle/Contents/MacOS/com.brackenmoor.sieveharbor.proxy"
[ -f "$executable" ] || { echo "check_bundle: no executable at $executable" >&2; exit 1; }

check_executable "$executable"
for arch in arm64 x86_64; do
    # Read whole first: grep -q leaving early would fail the pipe.
    symbols=$(llvm-nm --arch="$arch" "$executable")
    grep -q ' S _OBJC_CLASS_\$_com_brackenmoor_sieveharbor_proxy.DNSProxyProvider$' <<<"$symbols" ||
        fail "$arch: the class com_brackenmoor_sieveharbor_proxy.DNSProxyProvider is not defined"
done

check_plist "the extension's Info.plist" "$bundle/Contents/Info.plist" '{
    "CFBundleIdentifier": "com.brackenmoor.sieveharbor.proxy",
    "CFBundleName": "SieveHarbor DNS",
    "CFBundlePackageType": "SYSX",
    "CFBundleExecutable": "com.brackenmoor.sieveharbor.proxy",
    "CFBundleInfoDictionaryVersion": "6.0",
    "CFBundleShortVersionString": VERSION,
    "CFBundleVersion": VERSION,
    "LSMinimumSystemVersion": "11.0",
    # What the approval dialog says: the system refuses to activate an extension without it.
    "NSSystemExtensionUsageDescription": "SieveHarbor filters the DNS lookups of this Mac: names "
        "on your blocklist are blocked, and every other lookup goes to a filtering DNS resolver.",
    "NetworkExtension": {
        "NEMachServiceName": "group.com.brackenmoor.sieveharbor.proxy",
        "NEProviderClasses": {
            "com.apple.networkextension.dns-proxy": "com_brackenmoor_sieveharbor_proxy.DNSProxyProvider",
        },
    },
}' "$team" "$version"
check_plist "the extension's entitlements" "$entitlements" '{
    "com.apple.application-identifier": TEAM + ".com.brackenmoor.sieveharbor.proxy",
    "com.apple.developer.team-identifier": TEAM,
    "com.apple.developer.networking.networkextension": ["dns-proxy-systemextension"],
    "com.apple.security.app-sandbox": True,
    "com.apple.security.application-groups": ["group.com.brackenmoor.sieveharbor"],
    "com.apple.security.network.client": True,
    "com.apple.security.temporary-exception.files.absolute-path.read-only": ["/Users/"],
}' "$team" "$version"
finish_checks "the extension bundle"
