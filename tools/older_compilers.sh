#!/usr/bin/env bash
# The source distribution against the compilers of the older systems the
# module's users build on: Debian 12's g++ 12 and clang 14 (Ubuntu 22.04's
# clang), in the bookworm tree of tools/sysroots.sh with its own C++ library.
#
#   tools/older_compilers.sh headers     in the tool root: Python 3.14's headers
#                                        into build/older/include (bookworm has none)
#   tools/older_compilers.sh test [CXX...]
#                                        in the bookworm tree (tools/sysroots.sh
#                                        chroot bookworm), for each compiler
#                                        (g++-12 and clang++-14 unless named): the
#                                        core and its tests built and run, then
#                                        both modules compiled and linked
#
# Python 3.14 does not run on bookworm, so the modules are compiled and linked
# here by hand with the flags CMakeLists.txt gives them; what links must leave
# undefined is the interpreter's API and nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=build/older
PYTHON=python3.14

log() { printf '== %s\n' "$*"; }

headers() {
    rm -rf --one-file-system "$OUT/include"
    mkdir -p "$OUT/include/x86_64-linux-gnu"
    cp -rL "/usr/include/$PYTHON" "$OUT/include/"
    cp -rL "/usr/include/x86_64-linux-gnu/$PYTHON" "$OUT/include/x86_64-linux-gnu/"
    chmod -R a+rX "$OUT"
}

# The sources that CMakeLists.txt lists in the call beginning with $1.
listed() {
    sed -n "/$1/,/)/p" CMakeLists.txt | grep -o 'src/[a-z_]*/[a-z_]*\.cpp'
}

# Compiles "$@" at once with the caller's $cxx and flags into $build/pip, and
# adds their objects to the caller's `objects`.
compile() {
    local src pid pids=()
    mkdir -p "$build/pip"
    for src; do
        objects+=("$build/pip/$(basename "$src" .cpp).o")
        $cxx "${flags[@]}" -c "$src" -o "${objects[-1]}" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid"; done
}

test_with() {
    local cxx=$1 started=$SECONDS
    local build=$OUT/${cxx//+/x}
    [ -f "$OUT/include/$PYTHON/Python.h" ] || { log "no Python headers: tools/older_compilers.sh headers"; exit 1; }
    log "$($cxx --version | head -n 1), $(ldd --version | head -n 1)"
    # Optimised without debug information (time); -O2, as g++ 12 warns falsely
    # on the tests' own helpers at -O3 (the core at -O3: below).
    CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DBRIMLET_MODULE=OFF >/dev/null
    cmake --build "$build" -j "$(nproc)"
    mkdir -p "$build/Testing" && chmod 1777 "$build/Testing"
    tools/as_user.sh ctest --test-dir "$build" --output-on-failure -j "$(nproc)" | tail -n 3
    # The core again and both modules, with the flags pip builds them with
    # (C++23, under the name clang 14 knows; Release; hidden visibility,
    # warnings as errors), each module linked from those objects.
    local flags=(-std=c++2b -O3 -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra -Werror
                 -Isrc -isystem "$OUT/include/$PYTHON" -isystem "$OUT/include")
    local objects=() core module sources stray
    mapfile -t sources < <(listed 'add_library(brimlet_core')
    compile "${sources[@]}"
    core=("${objects[@]}")
    for module in brimlet brimlet_columns; do
        if [ "$module" = brimlet ]; then sources=(src/lib/*.cpp)
        else mapfile -t sources < <(listed 'set(BRIMLET_BOUNDARY_SOURCES'); sources+=(src/columns_module/*.cpp)
        fi
        objects=()
        compile "${sources[@]}"
        $cxx -shared -pthread -o "$build/$module.so" "${objects[@]}" "${core[@]}"
        # Resolved symbols carry the version of the library that has them; an
        # unversioned one left undefined (the start files' weak ones aside) must
        # be the interpreter's.
        stray=$(nm -D --undefined-only "$build/$module.so" | awk '$1 == "U" && $NF !~ /@/ && $NF !~ /^_?Py/ {print $NF}')
        [ -z "$stray" ] || { log "$module.so leaves undefined: $stray"; exit 1; }
        log "$module.so compiled and linked with $cxx"
    done
    log "$cxx: passed in $((SECONDS - started)) s"
}

case "${1:-}" in
    headers) headers ;;
    test)
        shift
        [ $# -gt 0 ] || set -- g++-12 clang++-14
        for cxx; do test_with "$cxx"; done ;;
    *) echo "usage: $0 headers|test [CXX...]" >&2; exit 2 ;;
esac
