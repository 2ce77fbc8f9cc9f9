# brimlet: build, test and demo.
#
#   make demo    build everything and replay the bundled sample recording
#   make test    build everything and run every test (and build with g++ 12):
#                about 20 minutes on 2 cores from a clean tree, with two busy
#                processes beside it (1,210 s measured: builds about 10, the
#                test lanes 6, the older compilers 4), plus the tool root and
#                the bookworm tree the first time; it says how long it took
#   make bench   run the benchmarks
#   make fuzz    run the frame scanner fuzzer for FUZZ_SECONDS (default 60)
#   make wheels  the sdist and the x86-64 and aarch64 wheels in dist/
#   make test-wheels  install each wheel afresh and test it
#   make stress  random parser lifecycles for STRESS_SECONDS (default 600)
#
# Where the machine has no Python 3.14 with headers, every target runs inside
# the project's own Debian tool root (tools/toolroot.sh), made on first use.

PYTHON ?= python3.14
BEGAN := $(shell date +%s)
TEST_MINUTES := 20
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

NATIVE := $(shell $(PYTHON) -c 'import sys, sysconfig, os; sys.exit(0 if sys.version_info >= (3, 14) and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)' 2>/dev/null && echo yes)
ifeq ($(NATIVE)$(BRIMLET_IN_ROOT),)
RUN := tools/toolroot.sh run env BRIMLET_IN_ROOT=1 FUZZ_SECONDS=$(FUZZ_SECONDS) SOAK_SECONDS=$(SOAK_SECONDS) STRESS_SECONDS=$(STRESS_SECONDS)
else
RUN :=
endif

AS_USER := tools/as_user.sh
CMAKE_GEN := -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON))
PYTEST := -m pytest -p no:cacheprovider -q tests/python

.PHONY: demo test bench fuzz soak stress clean _demo _test _lane_debug _lane_release _bench _benchbuild _fuzz _soak _stress _release \
        _asan _tsan _debugpy _fullfs

demo:
	$(RUN) $(MAKE) --no-print-directory _demo
test:
	tools/node_packages.sh
	$(RUN) $(MAKE) --no-print-directory _test
	@echo "== the core and the modules with Debian 12's g++ 12 and clang 14 (bookworm tree, tools/older_compilers.sh)"
	$(RUN) tools/older_compilers.sh headers
	tools/sysroots.sh chroot bookworm tools/older_compilers.sh test g++-12 clang++-14
	@echo "== make test passed in $$(( $$(date +%s) - $(BEGAN) )) s (about $(TEST_MINUTES) minutes expected on 2 cores)"
bench:
	$(RUN) $(MAKE) --no-print-directory _bench
fuzz:
	$(RUN) $(MAKE) --no-print-directory _fuzz
soak:
	$(RUN) $(MAKE) --no-print-directory _soak
stress:
	$(RUN) $(MAKE) --no-print-directory _stress
clean:
	rm -rf --one-file-system build dist

# --- the steps below run where Python 3.14 is (natively or in the root) ---

_release:
	cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build/release -j $(JOBS)
	mkdir -p -m 1777 build/release/Testing

_asan:
	cmake -S . -B build/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DBRIMLET_MODULE=OFF \
	  -DBRIMLET_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	mkdir -p -m 1777 build/asan/Testing

_tsan:
	cmake -S . -B build/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DBRIMLET_MODULE=OFF \
	  -DBRIMLET_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS)
	mkdir -p -m 1777 build/tsan/Testing

_debugpy:
	cmake -S . -B build/debugpy -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DBRIMLET_TESTS=OFF -DPython_EXECUTABLE=$$(command -v $(PYTHON)d) >/dev/null
	cmake --build build/debugpy -j $(JOBS)

_fuzz:
	CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIMLET_MODULE=OFF \
	  -DBRIMLET_TESTS=OFF -DBRIMLET_FUZZ=ON >/dev/null
	cmake --build build/fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus
	build/fuzz/scan_frames_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -print_final_stats=1 build/fuzz/corpus

# The module against pyserial with a pure-Python decoder and against the native
# scanner alone, in one run; the tables go to docs/benchmarks.md (bench/README.md).
_benchbuild:
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRIMLET_BENCH=ON -DBRIMLET_MODULE=ON -DBRIMLET_TESTS=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build build/bench -j $(JOBS)

_bench: _benchbuild
	PYTHONPATH=build/bench:python $(PYTHON) bench/suite.py --build build/bench --markdown docs/benchmarks.md

# The module reading the virtual device for SOAK_SECONDS (default 600): no packet
# lost or out of order, resident memory flat. Not part of `make test`.
_soak: _benchbuild
	PYTHONPATH=build/bench:python $(PYTHON) bench/soak.py --seconds $(or $(SOAK_SECONDS),600)

# Random start/stop/drop/fork/Ctrl-C/hang-up lifecycles against a virtual device,
# FIFOs and recordings for STRESS_SECONDS (default 600), as the unprivileged
# user: nothing lost or duplicated, no call past its bound, no thread, descriptor
# or memory left behind (bench/stress.py). Not part of `make test`.
_stress: _release
	PYTHONPATH=build/release:python $(AS_USER) $(PYTHON) bench/stress.py --seconds $(or $(STRESS_SECONDS),600)

_demo: _release
	PYTHONPATH=build/release:python $(PYTHON) -m brimlet_tools demo

# Small filesystems for the tests of a full disk, one per lane of Python tests
# below: tmpfs mounts made as root in the tool root's private mount namespace,
# gone with it. Without root the tests that need them are skipped and say why.
FULL_DIR := /tmp/brimlet-full
FULL_DIR_DEBUG := /tmp/brimlet-full-debug
_fullfs:
	@for d in $(FULL_DIR) $(FULL_DIR_DEBUG); do \
	  mkdir -p $$d && { mountpoint -q $$d || mount -t tmpfs -o size=1m,mode=1777 brimlet-full $$d; } \
	  || echo "no small filesystem for the full-disk tests (mounting needs root)"; done

# The release core tests first (seconds), then two lanes side by side: the
# Python tests under the debug interpreter, the longest suite, and beside it
# packaging, type checks, the sanitizer core tests and the Python tests under
# the release interpreter. The Python tests mostly wait on pseudo-terminals
# and child processes, so the two lanes share two cores well. Each lane's
# output comes when it is done.
_test: _release _asan _tsan _fullfs
	@echo "== core unit tests (release)"
	$(AS_USER) ctest --test-dir build/release --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory -j 2 --output-sync=recurse _lane_debug _lane_release

_lane_debug:
	@if command -v $(PYTHON)d >/dev/null; then \
	  $(MAKE) --no-print-directory JOBS=1 _debugpy && \
	  echo "== Python tests (debug interpreter)" && \
	  PYTHONPATH=build/debugpy:python BRIMLET_FULL_DIR=$(FULL_DIR_DEBUG) $(AS_USER) $(PYTHON)d $(PYTEST) -x; fi

_lane_release:
	@echo "== packaging: the README's install lines from source, into a fresh virtual environment"
	tools/readme_install.sh source build/readme-home >build/readme-install.log 2>&1 || { cat build/readme-install.log; exit 1; }
	grep -m 2 "^brimlet\|^packets" build/readme-install.log
	cd /tmp && $(CURDIR)/build/readme-home/brimlet-env/bin/python -c 'import brimlet_tools as t, brimlet_tools.sample as s; print(len(t.load(s.SAMPLE.read_bytes())), "packets into columns")'
	@echo "== type checks: the stub against the built module, the tools and examples strictly"
	PYTHONPATH=build/release MYPYPATH=stubs $(PYTHON) -m mypy.stubtest brimlet brimlet_columns
	MYPYPATH=stubs:python $(PYTHON) -m mypy --strict --cache-dir build/mypy --no-error-summary python/brimlet_tools examples
	@echo "== core unit tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
	$(AS_USER) ctest --test-dir build/asan --output-on-failure -j $(JOBS)
	@echo "== core unit tests (ThreadSanitizer)"
	$(AS_USER) env TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j $(JOBS)
	@echo "== Python tests"
	PYTHONPATH=build/release:python BRIMLET_FULL_DIR=$(FULL_DIR) $(AS_USER) $(PYTHON) $(PYTEST)

# --- 64-bit Arm: cross-built and run under qemu-aarch64 ---
# tools/arm64.sh installs the cross tools into the tool root, makes the arm64
# Debian tree and runs _test-arm64 inside the root with that tree at /arm64.

.PHONY: test-arm64 _test-arm64 wheels test-wheels

# Release artifacts in dist/: the sdist and manylinux_2_31 wheels for x86-64
# and aarch64, built from it inside the tool root against Debian bullseye's C
# library (tools/wheels.sh, tools/sysroots.sh).
wheels:
	tools/sysroots.sh run tools/wheels.sh build
# Each wheel installed into a fresh environment of its own architecture: the
# Python tests against the installed module, and `brimlet demo` from /tmp;
# then the same on glibc 2.31 itself (tools/vehicle.sh): x86-64 in the bullseye
# tree, aarch64 under qemu-aarch64 with bullseye's loader.
test-wheels: wheels
	tools/sysroots.sh run tools/wheels.sh test
	tools/sysroots.sh run tools/vehicle.sh build
	tools/sysroots.sh chroot bullseye tools/vehicle.sh test x86_64
	tools/sysroots.sh run tools/vehicle.sh test aarch64

test-arm64:
	tools/arm64.sh test

_test-arm64:
	cmake -S /usr/src/googletest -B build/arm64/googletest -G Ninja --toolchain $(CURDIR)/cmake/aarch64-toolchain.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=$(CURDIR)/build/arm64/googletest/install >/dev/null
	cmake --build build/arm64/googletest -j $(JOBS) --target install >/dev/null
	cmake -S . -B build/arm64 -G Ninja --toolchain $(CURDIR)/cmake/aarch64-toolchain.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIMLET_MODULE=ON -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
	  -DGTest_DIR=$(CURDIR)/build/arm64/googletest/install/lib/cmake/GTest >/dev/null
	cmake --build build/arm64 -j $(JOBS)
	@echo "== core unit tests (arm64, under qemu-aarch64)"
	$(AS_USER) qemu-aarch64 -L $(BRIMLET_ARM64_SYSROOT) build/arm64/core_tests
	@# Without binfmt_misc an emulated program cannot start another arm64 program; the
	@# interpreter names this launcher as its executable, so the Python it starts runs too.
	printf '#!/bin/sh\nexec qemu-aarch64 -L %s %s/usr/bin/python3.14 "$$@"\n' \
	  $(BRIMLET_ARM64_SYSROOT) $(BRIMLET_ARM64_SYSROOT) >build/arm64/python3.14-aarch64
	chmod 755 build/arm64/python3.14-aarch64
	@echo "== Python tests (arm64, under qemu-aarch64)"
	PYTHONPATH=build/arm64:python BRIMLET_EMULATED=1 PYTHONHOME=$(BRIMLET_ARM64_SYSROOT)/usr \
	  PYTHONEXECUTABLE=$(CURDIR)/build/arm64/python3.14-aarch64 $(AS_USER) \
	  qemu-aarch64 -L $(BRIMLET_ARM64_SYSROOT) $(BRIMLET_ARM64_SYSROOT)/usr/bin/python3.14 $(PYTEST)
