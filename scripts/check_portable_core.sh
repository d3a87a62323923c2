#!/usr/bin/env bash
# Checks that the portable core stays portable:
#   1. no file of the core includes a Linux-only or an Apple-only header;
#   2. given the build folder of the macos-core preset, that each core archive there holds Mach-O
#      objects for both arm64 and x86_64, and that the whole core links, for each, into one
#      dynamic library against the SDK's own libraries (libc++, libicucore, libSystem): a call
#      that macOS does not have fails here rather than in the system extension's link.
# Nothing built for macOS runs here; it is only read and linked.
#
#   bash scripts/check_portable_core.sh [BUILD_FOLDER]     (e.g. build/macos-core)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "check_portable_core: $*" >&2
    exit 1
}

# 1. Headers. The core is what both hosts build; the seam headers are part of it.
core_files=()
for dir in text cli dns blocklist metrics lists flow provider; do
    while IFS= read -r -d '' file; do
        core_files+=("$file")
    done < <(find "src/$dir" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
done
core_files+=(src/platform/*.h src/platform/*.cpp)
[ "${#core_files[@]}" -gt 20 ] || fail "found only ${#core_files[@]} core files: is this the source tree?"
linux_only='sys/epoll\.h|sys/inotify\.h|sys/signalfd\.h|sys/eventfd\.h|sys/timerfd\.h|systemd/|(boost/)?asio|linux/|microhttpd'
apple_only='Foundation/|NetworkExtension/|Network/|CoreFoundation/|SystemConfiguration/|dispatch/|os/|objc/|notify\.h'
if grep -nE "^[[:space:]]*#[[:space:]]*(include|import)[[:space:]]*[<\"]($linux_only|$apple_only)" \
    "${core_files[@]}"; then
    fail "the core includes a header of one host only (above)"
fi
echo "check_portable_core: ${#core_files[@]} core files include no header of one host only"

[ $# -ge 1 ] || exit 0

# 2. The macOS build.
build=$1
cache="$build/CMakeCache.txt"
[ -f "$cache" ] || fail "$build is not a configured build folder"
cached() {
    sed -n "s/^$1:[A-Z]*=//p" "$cache"
}

# Debian installs LLVM's tools versioned (llvm-lipo-14) and unversioned in /usr/lib/llvm-*/bin.
llvm_tool() {
    local candidate
    for candidate in "$1" /usr/lib/llvm-*/bin/"$1"; do
        if command -v "$candidate" >/dev/null; then
            command -v "$candidate"
            return
        fi
    done
    fail "$1 not found; install Debian's llvm"
}
lipo=$(llvm_tool llvm-lipo)
objdump=$(llvm_tool llvm-objdump)

archives=()
for library in text cli dns blocklist metrics lists platform flow provider platform_posix; do
    archive=$(find "$build/src" -name "libsieveharbor_$library.a" -print -quit)
    [ -n "$archive" ] || fail "no libsieveharbor_$library.a under $build/src: is the core built?"
    archives+=("$archive")
    # A universal file starts with 0xcafebabe; llvm-lipo 14 crashes on a thin archive.
    magic=$(od -An -tx1 -N4 "$archive" | tr -d ' \n')
    [ "$magic" = cafebabe ] || fail "$archive is not universal (one architecture only?)"
    archs=$("$lipo" -archs "$archive" | tr ' ' '\n' | sort | xargs)
    [ "$archs" = "arm64 x86_64" ] || fail "$archive holds '$archs', not arm64 and x86_64"
    for arch in arm64 x86_64; do
        cputype=$([ "$arch" = arm64 ] && echo ARM64 || echo X86_64)
        # One header line a member: every one a 64-bit object of this architecture.
        headers=$("$objdump" --macho --private-header --arch="$arch" "$archive" |
            grep -E '^[[:space:]]*MH_MAGIC' || true)
        [ -n "$headers" ] || fail "$archive ($arch) holds no Mach-O object"
        if grep -vE "^[[:space:]]*MH_MAGIC_64[[:space:]]+$cputype[[:space:]].*[[:space:]]OBJECT[[:space:]]" \
            <<<"$headers"; then
            fail "$archive ($arch) holds a member that is not a $arch object (above)"
        fi
    done
done
echo "check_portable_core: ${#archives[@]} core archives hold Mach-O objects for arm64 and x86_64"

compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake)
sdk=$(cached CMAKE_OSX_SYSROOT)
deployment=$(cached CMAKE_OSX_DEPLOYMENT_TARGET)
[ -d "$sdk" ] || fail "$build is not a build for macOS: no SDK ($sdk)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
force_load=()
for archive in "${archives[@]}"; do
    force_load+=("-Wl,-force_load,$archive")
done
for arch in arm64 x86_64; do
    # Every object of every archive goes in, so any symbol none of them defines must come from the
    # system's libraries, or the link fails.
    "$compiler" --target="$arch-apple-macos$deployment" -isysroot "$sdk" -stdlib=libc++ \
        -fuse-ld=lld -dynamiclib "${force_load[@]}" -licucore -o "$work/core-$arch.dylib" ||
        fail "the core does not link for $arch against the SDK's libraries"
    used=$("$objdump" --macho --dylibs-used "$work/core-$arch.dylib")
    grep -q '/usr/lib/libicucore.A.dylib' <<<"$used" || fail "the $arch core does not use libicucore"
done
echo "check_portable_core: the core links whole for arm64 and x86_64 against the SDK's libraries"
