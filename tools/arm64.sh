#!/usr/bin/env bash
# 64-bit Arm on an x86-64 machine: the core tests and the module are
# cross-compiled for aarch64 inside the tool root (tools/toolroot.sh) and run
# under qemu-aarch64 against an arm64 Debian tree that holds Python 3.14.
#
#   tools/arm64.sh test          make what is missing, then build and run every test
#   tools/arm64.sh ensure        make the cross tools and the arm64 tree if missing
#   tools/arm64.sh run CMD...    run CMD as root inside the tool root, arm64 tree at /arm64
#   tools/arm64.sh path          print where the arm64 tree lives
#
# Run it on the host as root, like tools/toolroot.sh. The cross tools are
# installed into the tool root once. The arm64 tree is made once per machine
# next to the root (/var/cache/brimlet/arm64-KEY, keyed by its package list)
# and mounted read-only at /arm64 inside the root for each run; programs see
# the machine's own /dev, /proc, /sys and /tmp, not the tree's.
set -euo pipefail

# Installed into the tool root.
TOOLS="qemu-user g++-aarch64-linux-gnu"
# The arm64 tree: the interpreter with its headers, the C++ runtime the
# programs load, pytest, and what the optional tests use (numpy for its
# booleans, pyelftools to read the module's ELF file, matplotlib for plots).
PACKAGES="python3.14 libpython3.14-dev libstdc++6 python3-pytest python3-numpy \
python3-pyelftools python3-matplotlib"
# Bump when the way the tree is made changes, so old trees are not reused.
RECIPE=1

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
toolroot=$here/tools/toolroot.sh
cache=${BRIMLET_CACHE:-/var/cache/brimlet}
key=$(printf '%s %s' "$RECIPE" "$PACKAGES" | sha256sum | cut -c1-12)
sysroot="$cache/arm64-$key"
tools_key=$(printf '%s' "$TOOLS" | sha256sum | cut -c1-12)
inside=/arm64
# apt inside the root: a testing release's Release file may be past its
# Valid-Until date between two publications.
apt_opts="-o Acquire::Check-Valid-Until=false -qq"

log() { printf 'arm64: %s\n' "$*" >&2; }

need_root() {
    [ "$(id -u)" = 0 ] || { log "$1 needs root"; exit 1; }
}

# shellcheck source=tools/lib.sh
. "$here/tools/lib.sh"

# Runs tools/toolroot.sh "$@" with DIR mounted at /arm64 inside the root, in a
# private mount namespace (the mount vanishes with it). MODE is ro or rw.
with_tree() {
    local dir=$1 mode=$2; shift 2
    local root
    root=$("$toolroot" path)
    mkdir -p "$root$inside"
    # shellcheck disable=SC2016 # the script expands its own arguments
    unshare --mount --propagation private -- bash -euc '
        dir=$1; target=$2; mode=$3; shift 3
        mount --bind "$dir" "$target"
        mount -o "remount,bind,$mode" "$target"
        exec "$@"
    ' _ "$dir" "$root$inside" "$mode" "$toolroot" "$@"
}

ensure_tools() {
    local root stamp
    root=$("$toolroot" path)
    stamp="$root/.arm64-tools-$tools_key"
    [ -f "$stamp" ] && return 0
    log "installing $TOOLS into the tool root (once)"
    "$toolroot" run bash -euc "
        apt-get $apt_opts update
        DEBIAN_FRONTEND=noninteractive apt-get $apt_opts install -y --no-install-recommends $TOOLS >/dev/null"
    touch "$stamp"
}

# Prints "LINK TARGET" for each link that the packages' maintainer scripts
# would make with update-alternatives, the highest-priority choice of each.
# The foreign first stage runs no maintainer scripts, and numpy loads its BLAS
# and LAPACK libraries through such links.
alternatives() {
    local deb
    for deb; do
        dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst 2>/dev/null || true
    done \
        | sed -e ':a' -e '/\\$/N; s/\\\n//; ta' \
        | grep -oE 'update-alternatives\s+--install\s+/[^[:space:]$]+\s+[^[:space:]$]+\s+/[^[:space:]$]+\s+[0-9]+' \
        | awk '!($3 in prio) || $6 > prio[$3] {prio[$3] = $6; target[$3] = $5}
               END {for (l in target) print l, target[l]}'
}

fill_tree() {
    local tmp=$1
    # The foreign first stage downloads everything and unpacks only the base
    # system; nothing arm64 is run, and nothing is configured.
    bootstrap "$tmp" "$cache/arm64-debootstrap.log" "downloading the arm64 Debian forky packages (once per machine)" \
        --foreign --arch=arm64 --variant=minbase --include="${PACKAGES// /,}"
    local deb link target
    for deb in "$tmp"/var/cache/apt/archives/*.deb; do
        dpkg-deb -x "$deb" "$tmp"
    done
    alternatives "$tmp"/var/cache/apt/archives/*.deb | while read -r link target; do
        [ -e "$tmp$target" ] || continue
        mkdir -p "$(dirname "$tmp$link")"
        ln -sfr "$tmp$target" "$tmp$link"
    done
    rm -rf --one-file-system "$tmp/debootstrap" "$tmp"/var/cache/apt/archives/*.deb
    # qemu-aarch64 -L looks up every absolute path in the tree first: without
    # these, the emulated programs use the machine's pseudo-terminals, process
    # information and temporary files.
    rm -rf --one-file-system "${tmp:?}/dev" "$tmp/proc" "$tmp/sys" "$tmp/tmp"
    # Python's headers include the per-architecture <aarch64-linux-gnu/python3.14/pyconfig.h>;
    # this directory makes that one prefix reachable, and nothing else of the tree's headers.
    mkdir -p "$tmp/cross-include"
    ln -s ../usr/include/aarch64-linux-gnu "$tmp/cross-include/aarch64-linux-gnu"
    # Byte code does not depend on the processor: compiled once with the root's
    # own python3.14, imports under emulation take seconds instead of half a minute.
    log "byte-compiling the arm64 tree's Python libraries"
    # A file that does not compile (test data of some package) is left as it is.
    with_tree "$tmp" rw run python3.14 -m compileall -q -j 2 \
        "$inside/usr/lib/python3.14" "$inside/usr/lib/python3/dist-packages" >/dev/null \
        || log "some files of the tree did not byte-compile; they compile when imported"
}

make_arm64_tree() {
    [ -f "$sysroot/.complete" ] && return 0  # made while this caller waited
    command -v debootstrap >/dev/null || { log "debootstrap is not installed on the host"; exit 1; }
    local started=$SECONDS
    make_tree "$sysroot" "$cache/arm64-tmp" fill_tree
    log "arm64 tree ready in $((SECONDS - started)) s: $sysroot"
}

ensure() {
    need_root "making the arm64 tools and tree"
    "$toolroot" ensure
    if [ -f "$sysroot/.complete" ] && [ -f "$("$toolroot" path)/.arm64-tools-$tools_key" ]; then
        return 0
    fi
    with_lock "$cache/.arm64.lock" ensure_tools
    with_lock "$cache/.arm64.lock" make_arm64_tree
}

case "${1:-}" in
    ensure) ensure ;;
    path) printf '%s\n' "$sysroot" ;;
    run) shift; ensure; with_tree "$sysroot" ro run "$@" ;;
    test)
        ensure
        with_tree "$sysroot" ro run env BRIMLET_IN_ROOT=1 BRIMLET_ARM64_SYSROOT="$inside" \
            make --no-print-directory _test-arm64
        ;;
    *) echo "usage: $0 test|ensure|run CMD...|path" >&2; exit 2 ;;
esac
