#!/usr/bin/env bash
# Release artifacts: the source distribution and binary wheels for Linux on
# x86-64 and on 64-bit Arm, and their check. Runs inside the tool root with
# the arm64 tree at /arm64 and the bullseye tree at /bullseye (make wheels /
# make test-wheels arrange that, through tools/sysroots.sh run):
#
#   tools/wheels.sh build   dist/: the sdist, and wheels built from it for both
#                           architectures, repaired and tagged by auditwheel
#   tools/wheels.sh test    each wheel into a fresh environment of its own
#                           architecture (aarch64 under qemu-aarch64): the Python
#                           tests against the installed module, then the installed
#                           `brimlet demo` from outside the checkout; last, the
#                           README's lines that install a wheel
#
# The wheels serve every board with glibc 2.31 or newer (Debian 11, Ubuntu
# 20.04, JetPack 5 and later), hence the tag manylinux_2_31: the modules are
# built with the tool root's compilers against Debian bullseye's C library
# (cmake/glibc231-*.cmake), libstdc++ and libgcc's helpers static and private.
# tools/vehicle.sh tests them on glibc 2.31 itself.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=python3.14
SYSROOT=${BRIMLET_ARM64_SYSROOT:-/arm64}
DIST=dist
WORK=build/wheels
ARCHES="x86_64 aarch64"
POLICY=manylinux_2_31

log() { printf '== %s\n' "$*"; }

version() {
    sed -n 's/^version = "\(.*\)"$/\1/p' pyproject.toml
}

wheel_of() {  # the repaired wheel of architecture $1
    printf '%s/brimlet-%s-cp314-cp314-%s_%s.whl' "$DIST" "$(version)" "$POLICY" "$1"
}

# The wheel of architecture $1, built from the unpacked sdist in $2.
build_wheel() {
    local arch=$1 src=$2 started=$SECONDS
    local -a cross=(-C "cmake.define.CMAKE_TOOLCHAIN_FILE=$PWD/cmake/glibc231-$arch.cmake")
    if [ "$arch" = aarch64 ]; then
        # Without the host platform the wheel would be tagged x86-64 around an
        # aarch64 library; without python-hints CMake would run the build
        # machine's interpreter where the toolchain names the arm64 one.
        cross+=(-C cmake.python-hints=false -C cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW)
        export _PYTHON_HOST_PLATFORM=linux-aarch64
    fi
    (cd "$src" && $PYTHON -m build --wheel --no-isolation --outdir "$OLDPWD/$WORK/raw" \
        -C "build-dir=$OLDPWD/$WORK/$arch" "${cross[@]}" . >"$OLDPWD/$WORK/$arch.log" 2>&1) \
        || { tail -n 30 "$WORK/$arch.log"; exit 1; }
    unset _PYTHON_HOST_PLATFORM
    auditwheel repair -w "$DIST" "$WORK"/raw/*"$arch".whl >>"$WORK/$arch.log" 2>&1 \
        || { tail -n 30 "$WORK/$arch.log"; exit 1; }
    [ -f "$(wheel_of "$arch")" ] || { log "auditwheel did not make $(wheel_of "$arch")"; ls "$DIST"; exit 1; }
    log "$(wheel_of "$arch") in $((SECONDS - started)) s"
    auditwheel show "$(wheel_of "$arch")" | tee "$WORK/auditwheel-$arch.txt"
    # What every wheel must hold: both modules, their type stubs and the sample.
    local listing part
    listing=$($PYTHON -m zipfile -l "$(wheel_of "$arch")")
    for part in "brimlet\.cpython-314-$arch-linux-gnu\.so" "brimlet_columns\.cpython-314-$arch-linux-gnu\.so" \
                brimlet-stubs/__init__.pyi brimlet_columns-stubs/__init__.pyi brimlet_tools/data/sample.bin; do
        grep -qE "^$part " <<<"$listing" || { log "$(wheel_of "$arch") lacks $part"; exit 1; }
    done
}

build() {
    rm -rf --one-file-system "$DIST" "$WORK"
    mkdir -p "$DIST" "$WORK/src"
    local started=$SECONDS
    $PYTHON -m build --sdist --no-isolation --outdir "$DIST" . >"$WORK/sdist.log" 2>&1 \
        || { tail -n 30 "$WORK/sdist.log"; exit 1; }
    local sdist
    sdist="$DIST/brimlet-$(version).tar.gz"
    log "$sdist in $((SECONDS - started)) s"
    # The wheels come from the sdist, which proves that it holds all they need.
    tar -xzf "$sdist" -C "$WORK/src"
    local arch
    for arch in $ARCHES; do
        build_wheel "$arch" "$WORK/src/brimlet-$(version)"
    done
}

# Runs the Python tests and the console script with the interpreter command
# "$@" of an environment at $venv into which the wheel is installed.
check_installed() {
    local venv=$1; shift
    local where
    # From the checkout's root, neither module can come from the source tree.
    where=$("$@" -c 'import brimlet, brimlet_tools; print(brimlet.__file__); print(brimlet_tools.__file__)')
    if grep -qv "^$venv/" <<<"$where"; then
        log "the modules do not come from the installed wheel:"; printf '%s\n' "$where"; exit 1
    fi
    chmod -R a+rX "$venv"
    tools/as_user.sh "$@" -m pytest -p no:cacheprovider -q tests/python
    # The console script as installed; under emulation its interpreter runs it.
    local script=("$venv/bin/brimlet")
    [ "$1" = "$venv/bin/python" ] || script=("$@" "$venv/bin/brimlet")
    (cd /tmp && "${script[@]}" demo | head -n 2)
}

test_wheel() {
    local arch=$1 venv=$PWD/$WORK/venv-$1 started=$SECONDS
    local wheel
    wheel=$(wheel_of "$arch")
    [ -f "$wheel" ] || { log "no $wheel: run make wheels first"; exit 1; }
    rm -rf --one-file-system "$venv"
    log "$arch: $wheel into a fresh environment"
    if [ "$arch" = x86_64 ]; then
        # The system's site packages give pytest and the optional extras; PyPI is out of reach.
        $PYTHON -m venv --system-site-packages "$venv"
        "$venv/bin/pip" install --quiet --no-index --no-deps "$wheel"
        check_installed "$venv" "$venv/bin/python"
    else
        local run=(qemu-aarch64 -L "$SYSROOT")
        "${run[@]}" "$SYSROOT/usr/bin/$PYTHON" -m venv --without-pip --system-site-packages "$venv"
        local pip
        pip=$(echo /usr/share/python-wheels/pip-*.whl)
        "${run[@]}" "$venv/bin/$PYTHON" "$pip/pip" install --quiet --no-index --no-deps "$wheel"
        # The emulator cannot start an arm64 program by itself: the tests' child
        # interpreters go through this launcher, which the interpreter names as
        # its executable (and which finds the environment beside it).
        printf '#!/bin/sh\nexec qemu-aarch64 -L %s %s/bin/%s "$@"\n' "$SYSROOT" "$venv" "$PYTHON" \
            >"$venv/bin/$PYTHON-aarch64"
        chmod 755 "$venv/bin/$PYTHON-aarch64"
        PYTHONEXECUTABLE=$venv/bin/$PYTHON-aarch64 BRIMLET_EMULATED=1 \
            check_installed "$venv" "$venv/bin/$PYTHON-aarch64"
    fi
    log "$arch: passed in $((SECONDS - started)) s"
}

case "${1:-}" in
    build) build ;;
    test)
        for arch in $ARCHES; do test_wheel "$arch"; done
        tools/readme_install.sh wheel
        ;;
    *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac
