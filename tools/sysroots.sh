#!/usr/bin/env bash
# Older Debian trees beside the tool root, for what must work on the older
# systems the module's users have:
#
#   bullseye  Debian 11 (glibc 2.31), minbase with the C library's headers and
#             zlib: the x86-64 sysroot the portable wheels link against, and the
#             system they are tested on (as a chroot). Its /arm64 holds bullseye's
#             arm64 C library, headers and libgcc_s: the aarch64 sysroot, and the
#             tree qemu-aarch64 loads the aarch64 programs from.
#   bookworm  Debian 12 with its own g++ 12 and clang 14, cmake, ninja and
#             GoogleTest: the older compilers the source distribution builds with.
#
#   tools/sysroots.sh ensure [NAME...]    make the trees that are missing
#   tools/sysroots.sh path NAME           print where tree NAME lives
#   tools/sysroots.sh chroot NAME CMD...  run CMD as root inside tree NAME, with
#                                         the checkout at /brimlet and a private /tmp
#   tools/sysroots.sh run CMD...          run CMD in the tool root with the arm64
#                                         tree at /arm64 and bullseye at /bullseye
#
# Run it on the host as root. Each tree is made once per machine under
# /var/cache/brimlet (keyed by its package list), whole or not at all, and is
# only ever mounted read-only (the checkout and /tmp excepted).
set -euo pipefail

BULLSEYE="libc6-dev zlib1g-dev"
BULLSEYE_ARM64="libc6 libc6-dev linux-libc-dev libcrypt1 libcrypt-dev libgcc-s1 zlib1g zlib1g-dev"
BOOKWORM="g++-12 clang-14 cmake ninja-build libgtest-dev"
# Bump when the way the trees are made changes, so old trees are not reused.
RECIPE=1

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
toolroot=$here/tools/toolroot.sh
cache=${BRIMLET_CACHE:-/var/cache/brimlet}
inside=/brimlet

log() { printf 'sysroots: %s\n' "$*" >&2; }

# shellcheck source=tools/lib.sh
. "$here/tools/lib.sh"

tree_of() {
    local key
    case "$1" in
        bullseye) key=$(printf '%s %s %s' "$RECIPE" "$BULLSEYE" "$BULLSEYE_ARM64" | sha256sum | cut -c1-12) ;;
        bookworm) key=$(printf '%s %s' "$RECIPE" "$BOOKWORM" | sha256sum | cut -c1-12) ;;
        *) log "no tree named $1 (bullseye, bookworm)"; exit 2 ;;
    esac
    printf '%s/%s-%s\n' "$cache" "$1" "$key"
}

# Runs the shell script $2 as root inside the tree $1 (private mounts, no checkout).
in_tree() {
    # shellcheck disable=SC2016 # the script expands its own arguments
    unshare --mount --propagation private -- bash -euc '
        tree=$1; script=$2
        mount --rbind /dev "$tree/dev"
        mount -t proc proc "$tree/proc"
        exec chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 bash -euc "$script"
    ' _ "$1" "$2"
}

# A link to an absolute path names the build machine's file to a compiler given
# --sysroot (libpthread.so -> /lib/... would be forky's own): made relative,
# within the tree $1 (its subtree $2, if given, left alone).
relative_links() {
    local tree=$1 skip=${2:-} link target
    find "$tree" -xdev ${skip:+-path "$tree/$skip" -prune -o} -lname '/*' -print0 | while IFS= read -r -d '' link; do
        target=$(readlink "$link")
        ln -sfnr "$tree$target" "$link"
    done
}

fill_bullseye() {
    local tmp=$1 logfile=$cache/bullseye-debootstrap.log
    bootstrap_suite "$tmp" "$logfile" "Debian bullseye (glibc 2.31) into $tmp" bullseye "" \
        --variant=minbase --include="${BULLSEYE// /,}"
    log "bullseye's arm64 C library"
    local debs=()
    read -ra debs <<<"${BULLSEYE_ARM64// /:arm64 }:arm64"
    if ! in_tree "$tmp" "
        dpkg --add-architecture arm64
        apt-get -o Acquire::Check-Valid-Until=false -qq update
        mkdir /arm64-debs && cd /arm64-debs && apt-get -qq download ${debs[*]}" >>"$logfile" 2>&1; then
        tail -n 30 "$logfile" >&2
        discard "$tmp"
        log "downloading bullseye's arm64 packages failed (full log: $logfile)"
        exit 1
    fi
    local deb
    mkdir "$tmp/arm64"
    for deb in "$tmp"/arm64-debs/*.deb; do dpkg-deb -x "$deb" "$tmp/arm64"; done
    rm -rf --one-file-system "$tmp/arm64-debs" "$tmp"/var/cache/apt/archives/*.deb
    relative_links "$tmp/arm64"
    relative_links "$tmp" arm64
    mkdir -p "$tmp$inside"
    chmod 1777 "$tmp/tmp"
}

fill_bookworm() {
    local tmp=$1 logfile=$cache/bookworm-debootstrap.log
    bootstrap_suite "$tmp" "$logfile" "Debian bookworm with g++ 12 and clang 14 into $tmp" bookworm "" \
        --variant=minbase
    if ! in_tree "$tmp" "
        apt-get -o Acquire::Check-Valid-Until=false -qq update
        apt-get -qq install -y --no-install-recommends $BOOKWORM
        apt-get clean" >>"$logfile" 2>&1; then
        tail -n 30 "$logfile" >&2
        discard "$tmp"
        log "installing into bookworm failed (full log: $logfile)"
        exit 1
    fi
    mkdir -p "$tmp$inside"
    chmod 1777 "$tmp/tmp"
}

make_one() {
    local name=$1 dest
    dest=$(tree_of "$name")
    [ -f "$dest/.complete" ] && return 0  # made while this caller waited
    local started=$SECONDS
    make_tree "$dest" "$cache/$name-tmp" "fill_$name"
    log "$name ready in $((SECONDS - started)) s: $dest"
}

# Makes the trees named (all without a name) that are missing.
ensure() {
    local name
    [ $# -gt 0 ] || set -- bullseye bookworm
    for name; do
        [ -f "$(tree_of "$name")/.complete" ] && continue
        [ "$(id -u)" = 0 ] || { log "making the $name tree needs root"; exit 1; }
        command -v debootstrap >/dev/null || { log "debootstrap is not installed on the host"; exit 1; }
        with_lock "$cache/.sysroots.lock" make_one "$name"
    done
}

# The tree $1 read-only, with /dev, /proc, a private /tmp and the checkout at
# /brimlet; CMD runs there from /brimlet.
enter() {
    local tree cmd
    tree=$(tree_of "$1"); shift
    printf -v cmd '%q ' "$@"
    # shellcheck disable=SC2016 # the script expands its own arguments
    unshare --mount --propagation private -- bash -euc '
        tree=$1; src=$2; inside=$3; cmd=$4
        mount --bind "$tree" "$tree"
        mount --rbind /dev "$tree/dev"
        mount -t proc proc "$tree/proc"
        mount -t tmpfs -o mode=1777 tmpfs "$tree/tmp"
        mount --bind "$src" "$tree$inside"
        mount -o remount,bind,ro "$tree"
        exec chroot "$tree" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
            HOME=/tmp LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
            bash -c "cd $inside && exec $cmd"
    ' _ "$tree" "$here" "$inside" "$cmd"
}

# The tool root as tools/arm64.sh runs it, with the bullseye tree at /bullseye.
with_bullseye() {
    local root tree
    root=$("$toolroot" path)
    tree=$(tree_of bullseye)
    mkdir -p "$root/bullseye"
    # shellcheck disable=SC2016 # the script expands its own arguments
    unshare --mount --propagation private -- bash -euc '
        tree=$1; target=$2; shift 2
        mount --bind "$tree" "$target"
        mount -o remount,bind,ro "$target"
        exec "$@"
    ' _ "$tree" "$root/bullseye" "$here/tools/arm64.sh" run "$@"
}

case "${1:-}" in
    ensure) shift; ensure "$@" ;;
    path) tree_of "${2:-}" ;;
    chroot) shift; ensure "${1:-}"; enter "$@" ;;
    run) shift; ensure bullseye; "$here/tools/arm64.sh" ensure; with_bullseye "$@" ;;
    *) echo "usage: $0 ensure|path NAME|chroot NAME CMD...|run CMD..." >&2; exit 2 ;;
esac
