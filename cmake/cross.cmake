# Shared part of the toolchain files: Debian's cross compiler for
# BOAT_CROSS_TRIPLET, the libraries and headers of the sysroot that
# scripts/sysroot makes, and qemu-user to run the target's programs.
# The sysroot is BOAT_SYSROOT from the environment, else the one that
# scripts/cross and scripts/package use.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${BOAT_CROSS_PROCESSOR})

if(DEFINED ENV{BOAT_SYSROOT} AND NOT "$ENV{BOAT_SYSROOT}" STREQUAL "")
  set(BOAT_SYSROOT "$ENV{BOAT_SYSROOT}")
else()
  get_filename_component(BOAT_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/cross/${BOAT_CROSS_ARCH}/sysroot" ABSOLUTE)
endif()
if(NOT EXISTS "${BOAT_SYSROOT}/usr/include/stdio.h")
  message(FATAL_ERROR "No ${BOAT_CROSS_ARCH} sysroot at ${BOAT_SYSROOT}: run scripts/sysroot ${BOAT_CROSS_ARCH} DIR and set BOAT_SYSROOT=DIR/sysroot")
endif()

set(CMAKE_C_COMPILER ${BOAT_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BOAT_CROSS_TRIPLET}-g++)
set(CMAKE_SYSROOT "${BOAT_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${BOAT_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt_misc here: every target program is started through qemu (by
# full path: the tests exec it directly).
find_program(BOAT_QEMU ${BOAT_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${BOAT_QEMU}" -L "${BOAT_SYSROOT}")

# The host's pkg-config, reading only the target's .pc files.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BOAT_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${BOAT_SYSROOT}/usr/lib/${BOAT_CROSS_TRIPLET}/pkgconfig:${BOAT_SYSROOT}/usr/lib/pkgconfig:${BOAT_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
