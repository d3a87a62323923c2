#!/usr/bin/env bash
# Notarizes a signed SieveHarbor.app on a Mac: zips it with ditto, submits it to Apple's notary
# service and waits, staples the ticket to the app and asks Gatekeeper whether it now runs:
#
#   xcrun notarytool store-credentials PROFILE ...   # once, to keep the credentials
#   bash packaging/macos/notarize.sh build/macos/src/app/apple/SieveHarbor.app PROFILE
set -euo pipefail
refuse() {
    echo "notarize.sh: $*" >&2
    exit 1
}
if [ $# -ne 2 ]; then
    echo "usage: notarize.sh APP KEYCHAIN_PROFILE" >&2
    exit 2
fi
app=${1%/} profile=$2
[ "$(uname -s)" = Darwin ] || refuse "notarizing needs a Mac with Xcode"
for tool in ditto xcrun spctl codesign; do
    command -v "$tool" >/dev/null || refuse "$tool not found: install Xcode"
done
for tool in notarytool stapler; do
    xcrun --find "$tool" >/dev/null 2>&1 || refuse "xcrun finds no $tool: install Xcode 13 or later"
done
[ -f "$app/Contents/_CodeSignature/CodeResources" ] ||
    refuse "'$app' is not a signed app: sign it with packaging/macos/sign.sh first"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ditto -c -k --keepParent "$app" "$work/SieveHarbor.zip"
# notarytool can end well for a submission the service found invalid: its status is what counts.
# A failed submit (refused credentials, a rejected upload) is kept, not left to end the script
# under pipefail before the hint below.
submitted=0
xcrun notarytool submit "$work/SieveHarbor.zip" --keychain-profile "$profile" --wait |
    tee "$work/submission.txt" || submitted=$?
if [ "$submitted" -ne 0 ] || ! grep -q 'status: Accepted' "$work/submission.txt"; then
    id=$(sed -n 's/^ *id: //p' "$work/submission.txt" | head -n 1)
    [ -n "$id" ] || refuse "notarytool submit failed (status $submitted) before the service gave the submission an id: see its message above"
    refuse "the notary service did not accept it: see xcrun notarytool log $id --keychain-profile $profile"
fi
xcrun stapler staple "$app"
spctl --assess --type execute --verbose "$app"
echo "notarize.sh: $app is notarized and stapled"
