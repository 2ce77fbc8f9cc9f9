# The portable x86-64 wheel: built natively in the tool root against Debian
# bullseye's glibc 2.31 (glibc231.cmake). Given to scikit-build as its
# CMAKE_TOOLCHAIN_FILE by tools/wheels.sh.
#
# Not CMAKE_SYSROOT: that would also re-root find_package, and Python's
# interpreter and headers are the tool root's.
if(DEFINED ENV{BRIMLET_GLIBC231_SYSROOT})
  set(BRIMLET_GLIBC_SYSROOT "$ENV{BRIMLET_GLIBC231_SYSROOT}")
else()
  set(BRIMLET_GLIBC_SYSROOT /bullseye)
endif()
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(BRIMLET_GLIBC_LIBDIRS "${BRIMLET_GLIBC_SYSROOT}/usr/lib/x86_64-linux-gnu")

# Debian's Python.h includes <x86_64-linux-gnu/python3.14/pyconfig.h>, which the
# sysroot's include path no longer reaches: a directory that holds that one
# prefix of the tool root's headers, and nothing else of them.
set(pyconfig_dir "${CMAKE_BINARY_DIR}/python-multiarch")
if(NOT EXISTS "${pyconfig_dir}/x86_64-linux-gnu/python3.14")
  file(MAKE_DIRECTORY "${pyconfig_dir}/x86_64-linux-gnu")
  file(CREATE_LINK /usr/include/x86_64-linux-gnu/python3.14 "${pyconfig_dir}/x86_64-linux-gnu/python3.14" SYMBOLIC)
endif()
set(BRIMLET_GLIBC_CFLAGS "--sysroot=${BRIMLET_GLIBC_SYSROOT}")
set(BRIMLET_GLIBC_CXXFLAGS "${BRIMLET_GLIBC_CFLAGS} -idirafter ${pyconfig_dir}")

include("${CMAKE_CURRENT_LIST_DIR}/glibc231.cmake")
