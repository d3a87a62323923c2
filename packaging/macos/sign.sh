#!/usr/bin/env bash
# Signs the system extension bundle on a Mac, with the hardened runtime, a secure timestamp and
# the entitlements the build wrote for its team:
#
#   bash packaging/macos/sign.sh "Developer ID Application: NAME (TEAMID)" \
#       build/macos/src/platform/apple/com.brackenmoor.sieveharbor.proxy.systemextension
#
# The bundle must have been built with -DSIEVEHARBOR_TEAM_ID=TEAMID, the team of the identity.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: sign.sh IDENTITY BUNDLE" >&2
    exit 2
fi
identity=$1 bundle=${2%/}
entitlements="$(dirname "$bundle")/sieveharbor-proxy.entitlements"
if ! command -v codesign >/dev/null; then
    echo "sign.sh: codesign not found: signing needs a Mac with Xcode's command line tools" >&2
    exit 1
fi
if [ ! -d "$bundle/Contents/MacOS" ] || [ ! -f "$entitlements" ]; then
    echo "sign.sh: '$bundle' is not a built system extension (no Contents/MacOS, or no $entitlements)" >&2
    exit 1
fi
if grep -q '0000000000' "$entitlements"; then
    echo "sign.sh: the bundle was built without a team: configure with -DSIEVEHARBOR_TEAM_ID=TEAMID" >&2
    exit 1
fi
codesign --force --options runtime --timestamp --entitlements "$entitlements" --sign "$identity" "$bundle"
codesign --verify --strict --verbose=2 "$bundle"
