#!/usr/bin/env bash
# Build environment for brimlet: a Debian "forky" root with Python 3.14,
# the compilers and the test tools, made once per machine and reused.
#
#   tools/toolroot.sh ensure            make the root if it is missing
#   tools/toolroot.sh run CMD...        run CMD as root inside the root
#   tools/toolroot.sh path              print where the root lives
#
# The checkout is bind-mounted at /brimlet inside the root, whatever its path on
# the host, and every command starts there.  Where the host already has
# Python 3.14 or newer with its headers, the Makefile does not use this at all.
set -euo pipefail

PACKAGES="python3.14 python3.14-dev python3.14-dbg g++ cmake ninja-build make \
python3-pytest python3-numpy python3-hypothesis libgtest-dev libgmock-dev \
libbenchmark-dev clang libclang-rt-dev python3-pyelftools python3-serial \
python3-scikit-build-core python3-pip python3-venv mypy valgrind gdb \
python3-matplotlib util-linux"
# Installed with apt once the base is in place: debootstrap cannot order the
# configuration of dependency trees this deep (the Arrow libraries among them).
EXTRA="python3-pandas python3-dask python3-distributed python3-pyarrow python3-h5py \
python3-rosbags python3-tqdm python3-rich python3-build python3-auditwheel patchelf \
shellcheck python3-websockets nodejs"
# Bump when the way the root is made changes, so old roots are not reused.
RECIPE=1

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${BRIMLET_CACHE:-/var/cache/brimlet}
key=$(printf '%s %s %s' "$RECIPE" "$PACKAGES" "$EXTRA" | sha256sum | cut -c1-12)
root="$cache/forky-$key"
inside=/brimlet

log() { printf 'toolroot: %s\n' "$*" >&2; }

# shellcheck source=tools/lib.sh
. "$here/tools/lib.sh"

fill_root() {
    local tmp=$1
    bootstrap "$tmp" "$cache/debootstrap.log" \
        "bootstrapping Debian forky into $root (a few minutes, once per machine)" \
        --variant=minbase --include="${PACKAGES// /,}"
    log "installing the data, export and packaging tools"
    # shellcheck disable=SC2016  # expanded by the inner shell
    if ! unshare --mount --propagation private -- bash -euc '
        tree=$1; shift
        mount --rbind /dev "$tree/dev"
        mount -t proc proc "$tree/proc"
        chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
            DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 bash -euc "
                apt-get -o Acquire::Check-Valid-Until=false -qq update
                apt-get -qq install -y --no-install-recommends $*
                apt-get clean"
    ' _ "$tmp" "$EXTRA" >>"$cache/debootstrap.log" 2>&1; then
        tail -n 30 "$cache/debootstrap.log" >&2
        discard "$tmp"
        log "installing into the tool root failed (full log: $cache/debootstrap.log)"
        exit 1
    fi
    mkdir -p "$tmp$inside"
    chmod 1777 "$tmp/tmp"
}

make_root() {
    [ -f "$root/.complete" ] && return 0  # made while this caller waited
    if ! command -v debootstrap >/dev/null; then
        log "installing debootstrap"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
    fi
    local started=$SECONDS
    make_tree "$root" "$cache/tmp" fill_root
    log "tool root ready in $((SECONDS - started)) s"
}

ensure() {
    [ -f "$root/.complete" ] && return 0
    [ "$(id -u)" = 0 ] || { log "making the tool root needs root"; exit 1; }
    with_lock "$cache/.lock" make_root
}

# Runs "$@" as root inside the root in a private mount namespace; mounts vanish with it.
enter() {
    ensure
    local cmd
    printf -v cmd '%q ' "$@"
    # shellcheck disable=SC2016 # the script expands its own arguments
    unshare --mount --propagation private -- bash -euc '
        root=$1; src=$2; inside=$3; cmd=$4
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        mount --bind "$src" "$root$inside"
        mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm" 2>/dev/null || true
        exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
            HOME=/tmp LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
            bash -c "cd $inside && exec $cmd"
    ' _ "$root" "$here" "$inside" "$cmd"
}

case "${1:-}" in
    ensure) ensure ;;
    path) printf '%s\n' "$root" ;;
    run) shift; enter "$@" ;;
    *) echo "usage: $0 ensure|path|run CMD..." >&2; exit 2 ;;
esac
