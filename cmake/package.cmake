# The Debian packages of the board's programs and the shore server: cpack -G DEB in a
# BOAT_BOARD=linux build (the kernel's GPIO and SPI devices, no root: every
# Pi with a current kernel, the Pi 5 too, and other boards) with
# CMAKE_INSTALL_PREFIX=/usr, for the host or for the target of the
# toolchain file (scripts/package does both). Dependencies come from
# dpkg-shlibdeps over the linked libraries; in a cross build it reads the
# sysroot's (scripts/sysroot gives it their symbols and shlibs files).
if(NOT BOAT_BOARD STREQUAL "linux")
  return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "No Debian package: it needs CMAKE_INSTALL_PREFIX=/usr, not ${CMAKE_INSTALL_PREFIX}")
  return()
endif()

set(BOAT_PACKAGE_MAINTAINER "Boat terminal developers <terminals@boats.example>"
    CACHE STRING "Maintainer field of the Debian package: name <mail address>")

# Debian wants these compressed with gzip -9n (no name, no time stamp).
function(_boat_gzip src dest_dir component)
  get_filename_component(_name ${src} NAME)
  string(REGEX REPLACE "\\.in$" "" _name ${_name})
  set(_plain ${CMAKE_CURRENT_BINARY_DIR}/package/${component}/${_name})
  configure_file(${src} ${_plain} @ONLY)
  execute_process(COMMAND gzip -9nc ${_plain} OUTPUT_FILE ${_plain}.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${_plain}.gz DESTINATION ${dest_dir} COMPONENT ${component})
endfunction()

# Each package's documents and manual pages (deploy/man/NAME.SECTION); its
# programs are in cmake/install.cmake.
set(_man_checkin boat_checkin.8 tag_reader.8)
set(_man_tracker boat_tracker.8 boat_track.1 boat_uplink.8)
set(_man_common "")
set(_man_shore boat_shore.8)
foreach(_comp common checkin tracker shore)
  set(BOAT_DEB_PACKAGE boat-${_comp})
  set(_doc ${CMAKE_INSTALL_DATADIR}/doc/boat-${_comp})
  install(FILES deploy/debian/copyright DESTINATION ${_doc} COMPONENT ${_comp})
  # The shore server has a history of its own.
  set(_changelog ${CMAKE_SOURCE_DIR}/deploy/debian/changelog.in)
  if(EXISTS ${CMAKE_SOURCE_DIR}/deploy/debian/${_comp}/changelog.in)
    set(_changelog ${CMAKE_SOURCE_DIR}/deploy/debian/${_comp}/changelog.in)
  endif()
  _boat_gzip(${_changelog} ${_doc} ${_comp})
  foreach(_page ${_man_${_comp}})
    string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" _section ${_page})
    _boat_gzip(${CMAKE_SOURCE_DIR}/deploy/man/${_page} ${CMAKE_INSTALL_MANDIR}/man${_section} ${_comp})
  endforeach()
endforeach()

# The terminals' settings with this build's values commented out; root's
# alone, as it holds the database password.
configure_file(${CMAKE_SOURCE_DIR}/deploy/terminal.conf.in ${CMAKE_CURRENT_BINARY_DIR}/package/terminal.conf @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/terminal.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT common)
install(FILES deploy/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME boat-common COMPONENT common)

# The shore server's settings with the built-in values commented out;
# root's, readable by the server's group (its postinst gives it the group,
# which does not exist when the file is unpacked).
configure_file(${CMAKE_SOURCE_DIR}/deploy/shore.conf.in ${CMAKE_CURRENT_BINARY_DIR}/package/shore.conf @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/shore.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT shore)
install(FILES deploy/debian/shore/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME boat-shore COMPONENT shore)

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
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL common checkin tracker shore)
set(CPACK_PACKAGE_NAME boat-terminals)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BOAT_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Up to version 1.0 one package, boat-terminals, held every program of the
# boats (the shore server came later and replaces nothing).
foreach(_comp COMMON CHECKIN TRACKER)
  set(CPACK_DEBIAN_${_comp}_PACKAGE_BREAKS "boat-terminals (<< 1.1~)")
  set(CPACK_DEBIAN_${_comp}_PACKAGE_REPLACES "boat-terminals (<< 1.1~)")
endforeach()

# What both kinds of boat share: the settings file (a conffile, so an
# upgrade keeps the operator's; one package owns it, as dpkg lets only
# one), and the groups and udev rules of the kernel's devices.
set(CPACK_DEBIAN_COMMON_PACKAGE_NAME boat-common)
set(CPACK_DEBIAN_COMMON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_COMMON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_COMPONENT_COMMON_DESCRIPTION "rental boat terminals: settings and devices shared by both kinds of boat
/etc/boat/terminal.conf, read by boat_checkin and boat_tracker at start-up
and by boat_track: the check-in server's URL, its CA file and pinned key,
the tracker's database login and gpsd, the board's GPIO chip and SPI
device. Every key is commented out with the built-in value.
.
The groups gpio and spi, and udev rules that give them the kernel's GPIO
chips and spidev devices, so that the terminals need no root.")
set(CPACK_DEBIAN_COMMON_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/conffiles
  ${CMAKE_SOURCE_DIR}/deploy/debian/common/postinst)

# A boat with an RC522 reader: no database server, no gpsd.
set(CPACK_DEBIAN_CHECKIN_PACKAGE_NAME boat-checkin)
set(CPACK_COMPONENT_CHECKIN_DESCRIPTION "rental boat check-in terminal with an MFRC522 card reader
boat_checkin reads a customer's card on an MFRC522 reader on SPI and asks
the check-in server whether the boat may run, driving the status LED, the
run relay and the engine kill relay; tag_reader reports the cards an
MFRC522 reader sees.
.
The systemd units are installed but not enabled.")
# postinst makes the account of user id 500 with adduser.
set(CPACK_DEBIAN_CHECKIN_PACKAGE_DEPENDS "adduser, boat-common (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_CHECKIN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/checkin/postinst
  ${CMAKE_SOURCE_DIR}/deploy/debian/checkin/prerm
  ${CMAKE_SOURCE_DIR}/deploy/debian/checkin/postrm)

# A boat with an NFC reader, GPS and a local database. libgps looks its
# port up in /etc/services.
set(CPACK_DEBIAN_TRACKER_PACKAGE_NAME boat-tracker)
set(CPACK_COMPONENT_TRACKER_DESCRIPTION "rental boat check-in terminal with NFC, GPS and fuel telemetry
boat_tracker reads a customer's card on an NFC reader through libnfc and
asks the check-in server whether the boat may run, driving the status LED,
the run relay and the engine kill relay, and writes GPS and fuel telemetry
to a local database, which it expects on the same board with gpsd.
boat_track lists the trips in that database, exports them to GPX, GeoJSON
or CSV for map programs and draws them.
.
The systemd unit is installed but not enabled.")
set(CPACK_DEBIAN_TRACKER_PACKAGE_DEPENDS "netbase, boat-common (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TRACKER_PACKAGE_RECOMMENDS "gpsd, mariadb-server")
set(CPACK_DEBIAN_TRACKER_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/tracker/postinst
  ${CMAKE_SOURCE_DIR}/deploy/debian/tracker/prerm
  ${CMAKE_SOURCE_DIR}/deploy/debian/tracker/postrm)

# The shore server: on any Debian 12 machine, a Pi in the harbour office
# too; no board, no boat-common. Its database is SQLite unless the settings
# name a PostgreSQL server, here or elsewhere.
set(CPACK_DEBIAN_SHORE_PACKAGE_NAME boat-shore)
set(CPACK_COMPONENT_SHORE_DESCRIPTION "rental boat shore server: sells time on cards, answers the boats' check-ins
boat_shore keeps the rental book (boats, cards, time sold, sessions, kill
orders and a log of every check-in) in SQLite or PostgreSQL and answers
the check-ins of the boats' terminals over HTTP or HTTPS, so that no boat
runs longer than was paid for; staff commands sell time, end sessions,
give kill orders and show each boat's state.
.
The systemd unit is installed but not enabled.")
# postinst makes the account boat-shore with adduser where systemd-sysusers
# is missing; the console serves its map library from Debian's installed
# files, so a harbour without internet still draws the map.
set(CPACK_DEBIAN_SHORE_PACKAGE_DEPENDS "adduser, libjs-leaflet")
set(CPACK_DEBIAN_SHORE_PACKAGE_SUGGESTS "postgresql")
set(CPACK_DEBIAN_SHORE_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/deploy/debian/shore/conffiles
  ${CMAKE_SOURCE_DIR}/deploy/debian/shore/postinst
  ${CMAKE_SOURCE_DIR}/deploy/debian/shore/prerm
  ${CMAKE_SOURCE_DIR}/deploy/debian/shore/postrm)
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
