# Linux on 64-bit Arm, cross-compiled with Debian's aarch64-linux-gnu tools.
#
# Programs built here run under qemu-aarch64 with an arm64 Debian tree as the
# place their loader, libraries and interpreter come from: tools/arm64.sh
# makes the tree and mounts it at /arm64 inside the tool root (another place
# can be given in the BRIMLET_ARM64_SYSROOT environment variable).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(DEFINED ENV{BRIMLET_ARM64_SYSROOT})
  set(BRIMLET_ARM64_SYSROOT "$ENV{BRIMLET_ARM64_SYSROOT}")
else()
  set(BRIMLET_ARM64_SYSROOT /arm64)
endif()

# Runs the programs built here, for example GoogleTest's test discovery.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${BRIMLET_ARM64_SYSROOT}")

# Libraries, headers and packages of the target only: the cross compiler's own
# tree and the arm64 tree. Programs are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu "${BRIMLET_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Python's headers include their per-architecture configuration as
# <aarch64-linux-gnu/python3.14/pyconfig.h>; this directory holds only that
# prefix of the tree's headers, so nothing else of the tree can be picked up.
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${BRIMLET_ARM64_SYSROOT}/cross-include")

# FindPython asks the interpreter for its include directory and extension
# suffix; the one asked must be the arm64 interpreter that loads the module, so
# it answers under the emulator (policy CMP0190, set by the caller with
# -DCMAKE_POLICY_DEFAULT_CMP0190=NEW where the project's minimum version leaves it unset).
set(Python_EXECUTABLE "${BRIMLET_ARM64_SYSROOT}/usr/bin/python3.14" CACHE FILEPATH "The arm64 interpreter")
