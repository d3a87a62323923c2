#!/usr/bin/env bash
# Checks SieveHarbor.app built here for macOS, which cannot run here: its layout, Info.plist and
# entitlements exactly, an executable of both architectures that links only the system's
# frameworks and libraries and calls on OSSystemExtensionRequest and NEDNSProxyManager; then the
# system extension inside it, whose identifier lies under the app's, with check_bundle.sh.
# Usage: check_app.sh APP APP_ENTITLEMENTS EXTENSION_ENTITLEMENTS TEAM_ID VERSION
set -euo pipefail
if [ $# -ne 5 ]; then
    echo "usage: check_app.sh APP APP_ENTITLEMENTS EXTENSION_ENTITLEMENTS TEAM_ID VERSION" >&2
    exit 2
fi
app=${1%/} entitlements=$2 extension_entitlements=$3 team=$4 version=$5
here=$(dirname "$0")
source "$here/bundle_checks.sh"
executable="$app/Contents/MacOS/sieveharbor"
extension="$app/Contents/Library/SystemExtensions/com.brackenmoor.sieveharbor.proxy.systemextension"
[ -f "$executable" ] || { echo "check_app: no executable at $executable" >&2; exit 1; }
[ -d "$extension" ] || fail "no system extension at $extension"

check_executable "$executable"
for arch in arm64 x86_64; do
    imported=$(llvm-nm --arch="$arch" -u "$executable")
    for class in OSSystemExtensionRequest OSSystemExtensionManager NEDNSProxyManager \
        NEDNSProxyProviderProtocol; do
        grep -q "^_OBJC_CLASS_\$_$class\$" <<<"$imported" ||
            fail "$arch: the executable does not use $class"
    done
done

check_plist "the app's Info.plist" "$app/Contents/Info.plist" '{
    "CFBundleIdentifier": "com.brackenmoor.sieveharbor",
    "CFBundleName": "SieveHarbor",
    "CFBundlePackageType": "APPL",
    "CFBundleExecutable": "sieveharbor",
    "CFBundleInfoDictionaryVersion": "6.0",
    "CFBundleShortVersionString": VERSION,
    "CFBundleVersion": VERSION,
    "LSMinimumSystemVersion": "11.0",
}' "$team" "$version"
check_plist "the app's entitlements" "$entitlements" '{
    "com.apple.application-identifier": TEAM + ".com.brackenmoor.sieveharbor",
    "com.apple.developer.team-identifier": TEAM,
    "com.apple.developer.system-extension.install": True,
    "com.apple.developer.networking.networkextension": ["dns-proxy-systemextension"],
    "com.apple.security.application-groups": ["group.com.brackenmoor.sieveharbor"],
}' "$team" "$version"

# The system takes an extension only when its identifier lies under the containing app's.
python3 - "$app/Contents/Info.plist" "$extension/Contents/Info.plist" <<'PY' || fail "the extension's identifier is not under the app's"
import plistlib, sys
app, ext = (plistlib.load(open(p, "rb"))["CFBundleIdentifier"] for p in sys.argv[1:])
sys.exit(0 if ext.startswith(app + ".") else 1)
PY
bash "$here/check_bundle.sh" "$extension" "$extension_entitlements" "$team" "$version" ||
    failures=$((failures + 1))
finish_checks "SieveHarbor.app"
