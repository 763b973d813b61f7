# The Debian package of the board's programs: cpack -G DEB in a BOAT_BOARD=rpi
# build with CMAKE_INSTALL_PREFIX=/usr, for the host or for the target of the
# toolchain file (scripts/package does both). Dependencies come from
# dpkg-shlibdeps over the linked libraries; in a cross build it reads the
# sysroot's (scripts/sysroot gives it their symbols and shlibs files).
if(NOT BOAT_BOARD STREQUAL "rpi")
  return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "No Debian package: it needs CMAKE_INSTALL_PREFIX=/usr, not ${CMAKE_INSTALL_PREFIX}")
  return()
endif()

set(BOAT_PACKAGE_MAINTAINER "Boat terminal developers <terminals@boats.example>"
    CACHE STRING "Maintainer field of the Debian package: name <mail address>")

# Debian wants these compressed with gzip -9n (no name, no time stamp).
function(_boat_gzip src dest_dir)
  get_filename_component(_name ${src} NAME)
  string(REGEX REPLACE "\\.in$" "" _name ${_name})
  set(_plain ${CMAKE_CURRENT_BINARY_DIR}/package/${_name})
  configure_file(${src} ${_plain} @ONLY)
  execute_process(COMMAND gzip -9nc ${_plain} OUTPUT_FILE ${_plain}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${_plain}.gz DESTINATION ${dest_dir})
endfunction()

set(_doc ${CMAKE_INSTALL_DATADIR}/doc/boat-terminals)
install(FILES deploy/debian/copyright DESTINATION ${_doc})
_boat_gzip(${CMAKE_SOURCE_DIR}/deploy/debian/changelog.in ${_doc})
foreach(_prog boat_checkin boat_tracker tag_reader)
  _boat_gzip(${CMAKE_SOURCE_DIR}/deploy/man/${_prog}.8 ${CMAKE_INSTALL_MANDIR}/man8)
endforeach()
# The units' working directory, where the operator puts boatid.txt.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat)
# The terminals' settings with this build's values commented out: a
# conffile, so an upgrade keeps the operator's; root's alone, as it holds
# the database password.
configure_file(${CMAKE_SOURCE_DIR}/deploy/terminal.conf.in ${CMAKE_CURRENT_BINARY_DIR}/package/terminal.conf @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/terminal.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES deploy/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME boat-terminals)

if(CMAKE_CROSSCOMPILING)
  if(DEFINED BOAT_CROSS_ARCH)
    set(_deb_arch ${BOAT_CROSS_ARCH})
  else()
    message(FATAL_ERROR "Cross build without BOAT_CROSS_ARCH: use cmake/toolchain-ARCH.cmake")
  endif()
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _deb_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME boat-terminals)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BOAT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rental boat terminals: card check-in, relays and telemetry")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The on-board programs of a rental boat's Raspberry Pi: boat_checkin reads
a customer's card on an MFRC522 reader and asks the check-in server whether
the boat may run, driving the status LED, the run relay and the engine kill
relay; boat_tracker does the same with an NFC reader through libnfc and
writes GPS and fuel telemetry to a local database; tag_reader reports the
cards an MFRC522 reader sees.

The systemd units are installed but not enabled.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst makes the account with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gpsd, mariadb-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/conffiles
  ${CMAKE_SOURCE_DIR}/deploy/debian/postinst
  ${CMAKE_SOURCE_DIR}/deploy/debian/prerm
  ${CMAKE_SOURCE_DIR}/deploy/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# dpkg-shlibdeps looks for the target's libraries in the sysroot, and picks
# the target's objdump by DEB_HOST_ARCH.
set(_cpack_env ${CMAKE_CURRENT_BINARY_DIR}/CPackEnv.cmake)
file(WRITE ${_cpack_env} "set(ENV{DEB_HOST_ARCH} ${_deb_arch})\n")
set(CPACK_PROJECT_CONFIG_FILE ${_cpack_env})
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}
    ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()

include(CPack)
