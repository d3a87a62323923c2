#!/usr/bin/env bash
# Signs SieveHarbor.app for distribution on a Mac: embeds each Developer ID provisioning profile
# as Contents/embedded.provisionprofile (macOS launches nothing signed with the DNS-proxy,
# application-identifier and app-group entitlements without one), checks that each profile grants
# every entitlement its bundle is signed with, signs inside-out (the extension, then the app)
# with the hardened runtime and a secure timestamp, and verifies the result:
#
#   bash packaging/macos/sign.sh "Developer ID Application: NAME (TEAMID)" \
#       SieveHarbor.provisionprofile SieveHarborProxy.provisionprofile \
#       build/macos/src/app/apple/SieveHarbor.app
#
# The app must have been built with -DSIEVEHARBOR_TEAM_ID=TEAMID, the team of the identity; the
# entitlements the build wrote lie beside it.
set -euo pipefail
refuse() {
    echo "sign.sh: $*" >&2
    exit 1
}
if [ $# -ne 4 ]; then
    echo "usage: sign.sh IDENTITY APP_PROFILE EXTENSION_PROFILE APP" >&2
    exit 2
fi
identity=$1 app_profile=$2 extension_profile=$3 app=${4%/}
here=$(cd "$(dirname "$0")" && pwd)
[ "$(uname -s)" = Darwin ] || refuse "signing needs a Mac with Xcode's command line tools"
for tool in codesign security python3; do
    command -v "$tool" >/dev/null || refuse "$tool not found: install Xcode's command line tools"
done
extension="$app/Contents/Library/SystemExtensions/com.brackenmoor.sieveharbor.proxy.systemextension"
app_entitlements="$(dirname "$app")/sieveharbor-app.entitlements"
extension_entitlements="$(dirname "$app")/sieveharbor-proxy.entitlements"
[ -f "$app/Contents/MacOS/sieveharbor" ] || refuse "'$app' is not a built SieveHarbor.app"
[ -d "$extension/Contents/MacOS" ] || refuse "'$app' holds no system extension at $extension"
for file in "$app_profile" "$extension_profile" "$app_entitlements" "$extension_entitlements"; do
    [ -f "$file" ] || refuse "no such file: $file"
done
if grep -q '0000000000' "$app_entitlements" "$extension_entitlements"; then
    refuse "the app was built without a team: configure with -DSIEVEHARBOR_TEAM_ID=TEAMID"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# bundle, profile, entitlements: the profile must grant what the bundle is signed with.
check_profile() {
    local bundle=$1 profile=$2 entitlements=$3 missing
    security cms -D -i "$profile" >"$work/profile.plist" 2>/dev/null ||
        refuse "$profile is not a provisioning profile (security cms cannot read it)"
    if ! missing=$(python3 "$here/profile_covers.py" "$work/profile.plist" "$entitlements"); then
        refuse "$(basename "$bundle"): $missing ($profile)"
    fi
}
check_profile "$extension" "$extension_profile" "$extension_entitlements"
check_profile "$app" "$app_profile" "$app_entitlements"

cp "$extension_profile" "$extension/Contents/embedded.provisionprofile"
cp "$app_profile" "$app/Contents/embedded.provisionprofile"
codesign --force --options runtime --timestamp --entitlements "$extension_entitlements" \
    --sign "$identity" "$extension"
codesign --force --options runtime --timestamp --entitlements "$app_entitlements" \
    --sign "$identity" "$app"
codesign --verify --deep --strict --verbose=2 "$app"
echo "sign.sh: $app is signed; notarize it with packaging/macos/notarize.sh"
