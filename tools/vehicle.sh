#!/usr/bin/env bash
# The wheels on glibc 2.31 (Debian bullseye, the oldest C library they are
# tagged for), with a Python 3.14 that runs there.
#
#   tools/vehicle.sh build         in the tool root (tools/sysroots.sh run): the
#                                  test interpreter for both architectures in
#                                  build/vehicle/ARCH, and pytest beside them
#   tools/vehicle.sh test x86_64   in the bullseye tree (tools/sysroots.sh chroot bullseye)
#   tools/vehicle.sh test aarch64  in the tool root, under qemu-aarch64 with bullseye's
#                                  arm64 loader and C library
#
# A test installs the wheel of its architecture from dist/ into a fresh
# environment of the test interpreter, loads its modules with the system's own
# loader (and a module linked against the tool root's C library, which must be
# refused), replays the sample (tools/vehicle/check_installed.py) and runs the
# Python tests against the installed wheel.
#
# The interpreter: no Python 3.14 runs on glibc 2.31, and CPython's sources are
# not in the archive the tool root reaches. So the tool root's own CPython
# objects (python.o and libpython3.14.a of Debian's python3.14-dev) are linked
# again against bullseye's C library, with tools/vehicle/pyshims.c for the few
# calls that need a newer one, and the tool root's standard library beside
# them. What of that library cannot work there is printed by each test, never
# hidden: the modules built into the archive whose objects it lacks, the
# extension modules bullseye cannot load, and the two pure-Python stand-ins
# the tests need (_sha2 for random and hashlib, termios for the tests' end of
# a pseudo-terminal), each checked against the real module when installed.
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=build/vehicle
PYTHON=python3.14
BULLSEYE=${BRIMLET_GLIBC231_SYSROOT:-/bullseye}
ARM64=${BRIMLET_ARM64_SYSROOT:-/arm64}
# Pure-Python packages the tests run with, from the tool root.
PYTEST_PACKAGES="pytest _pytest pluggy iniconfig packaging pygments py.py"

log() { printf '== %s\n' "$*"; }

# Sets, for architecture $1: cc (compile), link, config (the CPython build
# directory), stdlib, and cxx (the compiler for the negative control).
toolchain() {
    case "$1" in
        x86_64)
            local multiarch=$OUT/x86_64/include
            mkdir -p "$multiarch/x86_64-linux-gnu"
            ln -sfn /usr/include/x86_64-linux-gnu/python3.14 "$multiarch/x86_64-linux-gnu/python3.14"
            cc=(gcc "--sysroot=$BULLSEYE" "-I/usr/include/$PYTHON" -idirafter "$multiarch")
            link=(gcc "--sysroot=$BULLSEYE" "-B$BULLSEYE/usr/lib/x86_64-linux-gnu/" "-L$BULLSEYE/usr/lib/x86_64-linux-gnu")
            config=/usr/lib/$PYTHON/config-3.14-x86_64-linux-gnu
            stdlib=/usr/lib/$PYTHON
            cxx=(g++ "-I/usr/include/$PYTHON")
            ;;
        aarch64)
            local s=$BULLSEYE/arm64
            cc=(aarch64-linux-gnu-gcc "--sysroot=$s" -nostdinc -isystem "$(aarch64-linux-gnu-gcc -print-file-name=include)"
                -isystem "$s/usr/include/aarch64-linux-gnu" -isystem "$s/usr/include"
                "-I$ARM64/usr/include/$PYTHON" -idirafter "$ARM64/cross-include")
            link=(aarch64-linux-gnu-gcc "--sysroot=$s" "-B$s/usr/lib/aarch64-linux-gnu/"
                  "-L$s/usr/lib/aarch64-linux-gnu" "-L$s/lib/aarch64-linux-gnu")
            config=$ARM64/usr/lib/$PYTHON/config-3.14-aarch64-linux-gnu
            stdlib=$ARM64/usr/lib/$PYTHON
            cxx=(aarch64-linux-gnu-g++ "-I$ARM64/usr/include/$PYTHON" -isystem "$ARM64/cross-include")
            ;;
        *) echo "no architecture $1 (x86_64, aarch64)" >&2; exit 2 ;;
    esac
}

# The highest glibc version the ELF file $1 needs.
glibc_needed() {
    objdump -T "$1" | grep -o 'GLIBC_[0-9.]*' | sort -uV | tail -n 1
}

build_interpreter() {
    local arch=$1 started=$SECONDS
    local -a cc link cxx
    local config stdlib
    local dir=$OUT/$arch
    rm -rf --one-file-system "$dir"
    mkdir -p "$dir/bin" "$dir/lib"
    toolchain "$arch"
    "${cc[@]}" -O2 -Wall -Werror -c tools/vehicle/pyshims.c -o "$dir/pyshims.o"
    # What the standard library's extension modules take from the interpreter,
    # kept in the executable as the shared libpython would export it.
    local keep
    keep=$(comm -12 <(nm -D --undefined-only "$stdlib"/lib-dynload/*.so | awk '{print $NF}' | sort -u) \
                    <(nm --defined-only "$config/lib$PYTHON.a" 2>/dev/null | awk 'NF == 3 && $2 ~ /[TDBR]/ {print $3}' | sort -u) \
           | sed 's/^/-Wl,-u,/')
    # Modules built into the archive are left out where their objects call what
    # neither the archive nor the bullseye sysroot has (the hashes built on
    # HACL*, whose library Debian does not ship; pyexpat, which calls libexpat):
    # found by linking, each round dropping the modules of the archive members
    # the linker named.
    local missing=() round members
    for round in 1 2 3 4; do
        grep -vwE "PyInit_($(IFS='|'; echo "${missing[*]:-none}"))" "$config/config.c" >"$dir/config.c"
        "${cc[@]}" -O2 -DPy_BUILD_CORE -c "$dir/config.c" -o "$dir/config.o"
        # shellcheck disable=SC2086 # one option per symbol
        if "${link[@]}" -no-pie -o "$dir/bin/$PYTHON" "$dir/config.o" "$config/python.o" "$dir/pyshims.o" \
            $keep "$config/lib$PYTHON.a" -lz -lpthread -ldl -lutil -lm -Wl,-export-dynamic 2>"$dir/link.log"; then
            break
        fi
        members=$(grep -o "lib$PYTHON\.a([^)]*\.o)" "$dir/link.log" | sed 's/.*(\(.*\))/\1/' | sort -u)
        mapfile -t -O "${#missing[@]}" missing < <(nm -A --defined-only "$config/lib$PYTHON.a" 2>/dev/null \
            | awk -F'[: ]+' -v m="$(tr '\n' ' ' <<<"$members")" '$5 ~ /^PyInit_/ && index(" " m, " " $2 " ") {sub(/^PyInit_/, "", $5); print $5}')
        if [ -z "$members" ] || [ "$round" = 4 ]; then tail -n 20 "$dir/link.log"; exit 1; fi
    done
    printf '%s\n' "${missing[@]}" >"$dir/left-out"
    ln -s "$PYTHON" "$dir/bin/python3"
    rm -f "$dir/config.c" "$dir"/*.o
    # The standard library, without its tests, and the stand-ins.
    tar -C "$(dirname "$stdlib")" --exclude="$PYTHON/test" --exclude="$PYTHON/site-packages" \
        --exclude="$PYTHON/dist-packages" -cf - "$PYTHON" | tar -C "$dir/lib" -xf -
    rm -f "$dir/lib/$PYTHON"/lib-dynload/termios.*.so
    cp tools/vehicle/_sha2.py tools/vehicle/_blake2.py tools/vehicle/termios.py "$dir/lib/$PYTHON/"
    local module
    for module in _md5 _sha1 _sha3; do cp tools/vehicle/refused_hashes.py "$dir/lib/$PYTHON/$module.py"; done
    # The negative control of the load check.
    "${cxx[@]}" -std=c++23 -O2 -fPIC -shared -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL \
        tools/vehicle/old_link.cpp -o "$dir/old_link.so"
    log "$arch interpreter in $((SECONDS - started)) s: needs $(glibc_needed "$dir/bin/$PYTHON");" \
        "the negative control needs $(glibc_needed "$dir/old_link.so")"
}

# The stand-ins must do what the modules they replace do.
check_stand_ins() {
    $PYTHON - "$OUT/x86_64/lib/$PYTHON" <<'EOF'
import hashlib, importlib.util, sys, termios
def module(name):
    spec = importlib.util.spec_from_file_location(name, f"{sys.argv[1]}/{name}.py")
    m = importlib.util.module_from_spec(spec); spec.loader.exec_module(m); return m
sha2, blake2, stand_in = module("_sha2"), module("_blake2"), module("termios")
data = bytes(range(256)) * 3
for name in ("sha224", "sha256", "sha384", "sha512"):
    for n in (0, 1, 55, 56, 64, 111, 112, 128, 200, 768):
        assert getattr(sha2, name)(data[:n]).hexdigest() == hashlib.new(name, data[:n]).hexdigest(), (name, n)
for name in ("blake2b", "blake2s"):
    for n in (0, 1, 63, 64, 65, 128, 129, 768):
        for size in (8, 32):
            assert getattr(blake2, name)(data[:n], digest_size=size).digest() == getattr(hashlib, name)(data[:n], digest_size=size).digest()
# Not the B<rate> speed codes: from glibc 2.42 on they are the rates themselves.
names = [n for n in dir(stand_in) if n.isupper() and not n.startswith("_") and not n[1:].isdigit()]
wrong = [n for n in names if getattr(stand_in, n) != getattr(termios, n, None)]
assert not wrong, f"termios stand-in values differ: {wrong}"
print(f"stand-ins checked: _sha2 and _blake2 against hashlib, {len(names)} termios values against termios")
EOF
}

build() {
    rm -rf --one-file-system "$OUT"
    build_interpreter x86_64
    build_interpreter aarch64
    check_stand_ins
    mkdir -p "$OUT/pylib"
    local p
    for p in $PYTEST_PACKAGES; do cp -a "/usr/lib/python3/dist-packages/$p" "$OUT/pylib/"; done
    chmod -R a+rX "$OUT"
}

test_arch() {
    local arch=$1 started=$SECONDS
    local dir=$PWD/$OUT/$arch venv=$PWD/$OUT/venv-$arch
    local wheel
    wheel=$(echo dist/brimlet-*-manylinux_*_"$arch".whl)
    [ -f "$wheel" ] || { log "no $arch wheel in dist/: run make wheels first"; exit 1; }
    [ -x "$dir/bin/$PYTHON" ] || { log "no $arch test interpreter: tools/vehicle.sh build"; exit 1; }
    local -a py=("$dir/bin/$PYTHON")
    if [ "$arch" = aarch64 ]; then
        py=(qemu-aarch64 -L "$BULLSEYE/arm64" "$dir/bin/$PYTHON")
        log "aarch64 under qemu-aarch64 -L $BULLSEYE/arm64: $(qemu-aarch64 -L "$BULLSEYE/arm64" "$BULLSEYE/arm64/lib/aarch64-linux-gnu/libc.so.6" | head -n 1)"
    else
        log "x86_64: $(ldd --version | head -n 1)"
    fi
    rm -rf --one-file-system "$venv"
    "${py[@]}" -m venv --without-pip "$venv"
    local vpy=("$venv/bin/$PYTHON")
    if [ "$arch" = aarch64 ]; then
        # The emulator cannot start an arm64 program by itself: child
        # interpreters go through this launcher, which the interpreter names as
        # its executable.
        printf '#!/bin/sh\nexec qemu-aarch64 -L %s %s/bin/%s "$@"\n' "$BULLSEYE/arm64" "$venv" "$PYTHON" >"$venv/bin/$PYTHON-aarch64"
        chmod 755 "$venv/bin/$PYTHON-aarch64"
        vpy=("$venv/bin/$PYTHON-aarch64")
        export PYTHONEXECUTABLE=$venv/bin/$PYTHON-aarch64 BRIMLET_EMULATED=1
    fi
    # The wheel unpacked where an installer puts it: pip would hash every file
    # with the pure-Python SHA-256, minutes under emulation, and test nothing of
    # the C library.
    local site
    site=$("${vpy[@]}" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
    "${vpy[@]}" -m zipfile -e "$wheel" "$site"
    log "$arch: $(basename "$wheel") into $venv"
    log "standard library modules this interpreter lacks:" \
        "built in but not buildable here: $(tr '\n' ' ' <"$dir/left-out");" \
        "extension modules glibc 2.31 cannot load: $(cd /tmp && "${vpy[@]}" -c '
import importlib, pathlib, sys
failed = []
for name in sorted({f.name.split(".")[0] for p in sys.path if p.endswith("lib-dynload") for f in pathlib.Path(p).glob("*.so")}):
    try: importlib.import_module(name)
    except ImportError: failed.append(name)
print(" ".join(failed))');" \
        "pure-Python stand-ins (this interpreter only): _sha2 _blake2 termios; _md5 _sha1 _sha3 refuse when called"
    (cd /tmp && "${vpy[@]}" "$OLDPWD/tools/vehicle/check_installed.py" --refused "$dir/old_link.so")
    chmod -R a+rX "$venv"
    log "$arch: the Python tests against the installed wheel"
    # faulthandler sizes its stack with sysconf(_SC_SIGSTKSZ), which glibc 2.31
    # does not know: under the emulator that is a MemoryError at start.
    PYTHONPATH=$PWD/$OUT/pylib tools/as_user.sh "${vpy[@]}" -m pytest -p no:cacheprovider -p no:faulthandler \
        -q -rs tests/python
    log "$arch on glibc 2.31: passed in $((SECONDS - started)) s"
}

case "${1:-}" in
    build) build ;;
    test) test_arch "${2:-}" ;;
    *) echo "usage: $0 build|test x86_64|aarch64" >&2; exit 2 ;;
esac
