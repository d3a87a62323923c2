#!/usr/bin/env bash
# Reads an ELF executable and fails unless it was built hardened: a position-independent
# executable, relocations read-only and bound at start-up (full RELRO), stack protection and,
# with --fortify, fortified libc calls.
# Usage: check_hardening.sh [--fortify] BINARY
set -uo pipefail

fortify=no
if [ "${1:-}" = --fortify ]; then
    fortify=yes
    shift
fi
binary=${1:?usage: $0 [--fortify] BINARY}
[ -f "$binary" ] || { echo "FAIL: no such binary: $binary" >&2; exit 1; }
command -v readelf >/dev/null || { echo "FAIL: readelf (binutils) is missing" >&2; exit 1; }

failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what" >&2
        failures=$((failures + 1))
    fi
}

header=$(readelf -hW "$binary") || exit 1
dynamic=$(readelf -dW "$binary") || exit 1
segments=$(readelf -lW "$binary") || exit 1
# Undefined dynamic symbols: what the binary imports, without version suffixes.
imports=$(readelf --dyn-syms -W "$binary" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }') ||
    exit 1

check "ELF type DYN (a position-independent executable)" \
    grep -Eq '^ *Type: +DYN' <<<"$header"
check "DT_FLAGS_1 has PIE" grep -Eq '\(FLAGS_1\).*Flags:.* PIE( |$)' <<<"$dynamic"
check "a GNU_RELRO segment" grep -Eq '^ *GNU_RELRO ' <<<"$segments"
check "bound at start-up (DT_FLAGS BIND_NOW or DT_FLAGS_1 NOW)" \
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*Flags:.* NOW( |$)' <<<"$dynamic"
check "imports __stack_chk_fail (stack protector)" grep -qx '__stack_chk_fail' <<<"$imports"
if [ "$fortify" = yes ]; then
    check "imports a fortified __*_chk call" \
        bash -c "grep -Ex '__[a-z0-9_]+_chk' | grep -vqx '__stack_chk_fail'" <<<"$imports"
fi

[ "$failures" -eq 0 ] || { echo "$failures hardening check(s) failed for $binary" >&2; exit 1; }
