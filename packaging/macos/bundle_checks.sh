# shellcheck shell=bash
# The checks check_bundle.sh and check_app.sh share, for Mach-O files built here for macOS, which
# cannot run here. Sourced; each failure is counted in `failures` and said on stderr.

# Debian keeps LLVM's unversioned tools in /usr/lib/llvm-<version>/bin.
for dir in /usr/lib/llvm-*/bin; do
    [ -d "$dir" ] && PATH="$PATH:$dir"
done
failures=0
fail() {
    echo "$(basename "$0" .sh): $*" >&2
    failures=$((failures + 1))
}

# Both architectures, no symbol only Linux has, only the system's frameworks and libraries.
check_executable() {
    local executable=$1 archs arch linux_only library
    archs=$(llvm-lipo -archs "$executable")
    echo "$(basename "$executable"): architectures $archs"
    for arch in arm64 x86_64; do
        grep -qw "$arch" <<<"$archs" || fail "$executable has no $arch slice"
        linux_only=$(llvm-nm --arch="$arch" -u "$executable" |
            grep -E '_(epoll_[a-z_]+|inotify_[a-z_0-9]+|eventfd|signalfd|accept4|recvmmsg|sendmmsg|getrandom|sd_[a-z_]+|MHD_[A-Za-z_]+|__errno_location)$' || true)
        [ -z "$linux_only" ] || fail "$executable ($arch) imports Linux-only symbols: $linux_only"
    done
    echo "libraries linked:"
    while read -r library; do
        echo "  $library"
        case $library in
        /System/Library/Frameworks/* | /usr/lib/*) ;;
        *) fail "$executable links $library, which is not a system framework or library" ;;
        esac
    done < <(llvm-objdump --macho --dylibs-used --arch=arm64 "$executable" | tail -n +2 |
        sed 's/ (.*//; s/^[[:space:]]*//')
}

# A property list holds exactly the keys and values of the Python literal `expected`, in which
# TEAM and VERSION stand for the given team and version.
check_plist() {
    local name=$1 file=$2 expected=$3 team=$4 version=$5
    python3 - "$name" "$file" "$expected" "$team" "$version" <<'PY' || failures=$((failures + 1))
import plistlib, sys
name, path, expected, team, version = sys.argv[1:]
with open(path, "rb") as f:
    got = plistlib.load(f)
want = eval(expected, {"TEAM": team, "VERSION": version})
if got != want:
    print(f"{name} differs from what it must hold", file=sys.stderr)
    for key in sorted(set(got) | set(want)):
        if got.get(key) != want.get(key):
            print(f"  {key}: {got.get(key)!r}, expected {want.get(key)!r}", file=sys.stderr)
    sys.exit(1)
print(f"{name}: as expected")
PY
}

finish_checks() {
    if [ "$failures" -gt 0 ]; then
        echo "$(basename "$0" .sh): $failures check(s) failed" >&2
        exit 1
    fi
    echo "$1 passes every check"
}
