#!/usr/bin/env python3
"""Whether a provisioning profile grants every entitlement a bundle is signed with.

Usage: profile_covers.py PROFILE_PLIST ENTITLEMENTS

PROFILE_PLIST is the profile decoded (security cms -D -i PROFILE). Exit 0 when it covers every
key, otherwise 1 with one line naming the first key it does not grant. A profile's string may end
in "*" (TEAM.* for the application identifier); an array must hold each signed value or "*".
The sandbox's own entitlements (com.apple.security.*, but for the app groups) are no profile's to
grant, and are passed over.
"""
import plistlib
import sys


def grants(granted, signed):
    if isinstance(granted, str) and granted.endswith("*"):
        return isinstance(signed, str) and signed.startswith(granted[:-1])
    if isinstance(signed, list):
        pool = granted if isinstance(granted, list) else [granted]
        return "*" in pool or all(any(grants(g, s) for g in pool) for s in signed)
    if isinstance(granted, list):
        return any(grants(g, signed) for g in granted)
    return granted == signed


def needs_profile(key):
    return not key.startswith("com.apple.security.") or key == "com.apple.security.application-groups"


def main(profile_path, entitlements_path):
    with open(profile_path, "rb") as f:
        granted = plistlib.load(f).get("Entitlements", {})
    with open(entitlements_path, "rb") as f:
        signed = plistlib.load(f)
    for key, value in sorted(signed.items()):
        if not needs_profile(key):
            continue
        if key not in granted:
            print(f"the profile does not grant {key}")
            return 1
        if not grants(granted[key], value):
            print(f"the profile grants {key} as {granted[key]!r}, not {value!r}")
            return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print("usage: profile_covers.py PROFILE_PLIST ENTITLEMENTS", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
