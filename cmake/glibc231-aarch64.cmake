# The portable aarch64 wheel: cross-built as cmake/aarch64-toolchain.cmake
# does (its compilers, emulator and arm64 tree for Python), but against Debian
# bullseye's arm64 glibc 2.31 (glibc231.cmake). Given to scikit-build as its
# CMAKE_TOOLCHAIN_FILE by tools/wheels.sh.
include("${CMAKE_CURRENT_LIST_DIR}/aarch64-toolchain.cmake")

if(DEFINED ENV{BRIMLET_GLIBC231_SYSROOT})
  set(BRIMLET_GLIBC_SYSROOT "$ENV{BRIMLET_GLIBC231_SYSROOT}/arm64")
else()
  set(BRIMLET_GLIBC_SYSROOT /bullseye/arm64)
endif()
set(BRIMLET_GLIBC_LIBDIRS "${BRIMLET_GLIBC_SYSROOT}/lib/aarch64-linux-gnu" "${BRIMLET_GLIBC_SYSROOT}/usr/lib/aarch64-linux-gnu")

# The cross g++ searches its own target directory (the tool root's arm64 glibc
# headers) ahead of the sysroot's, so the whole list is given, in order.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
set(cxx_include /usr/aarch64-linux-gnu/include/c++/${gcc_major})
set(BRIMLET_GLIBC_CFLAGS "--sysroot=${BRIMLET_GLIBC_SYSROOT} -nostdinc -isystem ${gcc_include} \
-isystem ${BRIMLET_GLIBC_SYSROOT}/usr/include/aarch64-linux-gnu -isystem ${BRIMLET_GLIBC_SYSROOT}/usr/include")
set(BRIMLET_GLIBC_CXXFLAGS "--sysroot=${BRIMLET_GLIBC_SYSROOT} -nostdinc -isystem ${cxx_include} \
-isystem ${cxx_include}/aarch64-linux-gnu -isystem ${cxx_include}/backward -isystem ${gcc_include} \
-isystem ${BRIMLET_GLIBC_SYSROOT}/usr/include/aarch64-linux-gnu -isystem ${BRIMLET_GLIBC_SYSROOT}/usr/include")

include("${CMAKE_CURRENT_LIST_DIR}/glibc231.cmake")
