# What the two toolchain files of the portable wheels share: a build against
# Debian bullseye's C library (glibc 2.31, the oldest of the boards the wheels
# serve) with the tool root's own compilers, their C++ headers and their static
# libstdc++. tools/sysroots.sh makes the bullseye tree and mounts it at
# /bullseye (another place: BRIMLET_GLIBC231_SYSROOT); the aarch64 C library
# is at its /arm64.
#
# The including file sets BRIMLET_GLIBC_SYSROOT (the target's tree),
# BRIMLET_GLIBC_LIBDIRS (its library directories, the first holding libgcc_s.so.1),
# and BRIMLET_GLIBC_CFLAGS and BRIMLET_GLIBC_CXXFLAGS (the C and C++ compile
# flags that put its headers first).

# Compiled into every module, hidden: the few glibc functions newer than 2.31
# that the static libstdc++ names (glibc231_shims.c says which and why).
set(BRIMLET_GLIBC_SHIMS "${CMAKE_BINARY_DIR}/glibc231_shims.o")
if(NOT EXISTS "${BRIMLET_GLIBC_SHIMS}")
  separate_arguments(shim_flags UNIX_COMMAND "${BRIMLET_GLIBC_CFLAGS}")
  execute_process(
    COMMAND "${CMAKE_C_COMPILER}" ${shim_flags} -O2 -fPIC -fvisibility=hidden -Wall -Wextra -Werror
            -c "${CMAKE_CURRENT_LIST_DIR}/glibc231_shims.c" -o "${BRIMLET_GLIBC_SHIMS}"
    RESULT_VARIABLE shim_result ERROR_VARIABLE shim_error)
  if(NOT shim_result EQUAL 0)
    message(FATAL_ERROR "glibc231_shims.c: ${shim_error}")
  endif()
endif()

set(CMAKE_CXX_FLAGS_INIT "${BRIMLET_GLIBC_CXXFLAGS}")
# g++ searches its own multiarch library directory (the tool root's newer
# glibc) ahead of the sysroot's: -B (start files) and -L put bullseye's first.
# Check with -Wl,--trace when changing this.
list(GET BRIMLET_GLIBC_LIBDIRS 0 gcc_s_dir)
set(glibc_link "--sysroot=${BRIMLET_GLIBC_SYSROOT} -B${gcc_s_dir}/")
foreach(dir IN LISTS BRIMLET_GLIBC_LIBDIRS)
  string(APPEND glibc_link " -L${dir}")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${glibc_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${glibc_link}")
# The modules: libstdc++ and libgcc's helpers static and private, but the
# unwinder from the target's own libgcc_s.so.1, named before the objects and
# kept against g++'s default --as-needed, so that libgcc_eh.a's (which needs
# _dl_find_object of glibc 2.35) is never pulled in. -static-libgcc stays: the
# build machine's libgcc_s would otherwise supply helpers of newer GCC versions.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${glibc_link} -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL \
-Wl,--push-state,--no-as-needed ${gcc_s_dir}/libgcc_s.so.1 -Wl,--pop-state ${BRIMLET_GLIBC_SHIMS}")
