#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time (seconds, default 60 each), starting from the
# seed corpus in fuzz/corpus/. New inputs that libFuzzer finds go to build/fuzz/corpus/, so the
# repository's corpus changes only when someone copies inputs over on purpose.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
seconds="${1:-60}"
targets=(extract_domain_name blocked_response blocklist_text tcp_framing line_format stream_session
    tls_session)
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j2 --target "${targets[@]/#/fuzz_}"
mkdir -p fuzz/artifacts
# The RSS limit catches a parser that allocates without bound; ASan's quarantine of freed blocks
# (256 MB by default) would reach it by itself in a long run, so it is kept small.
export ASAN_OPTIONS="quarantine_size_mb=16:${ASAN_OPTIONS:-}"
for target in "${targets[@]}"; do
    work="build/fuzz/corpus/$target"
    mkdir -p "$work"
    echo "== fuzz_$target for ${seconds}s"
    "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -rss_limit_mb=256 -print_final_stats=1 \
        -artifact_prefix="fuzz/artifacts/$target-" "$work" "fuzz/corpus/$target" 2>&1 |
        grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true
    # A crash leaves an artifact behind; the run fails then.
    if compgen -G "fuzz/artifacts/$target-*" >/dev/null; then
        echo "fuzz_$target found a failing input: $(ls fuzz/artifacts/$target-*)" >&2
        exit 1
    fi
done
echo "all fuzz targets ran ${seconds}s each without a failure"
