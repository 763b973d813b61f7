# What each Debian package holds (cmake/package.cmake): one install list per
# kind of boat. `cmake --install` installs both.
#   checkin: boat_checkin and tag_reader, the RC522 boats.
#   tracker: boat_tracker, the NFC boats with GPS and a database,
#            boat_track, which reads that database's trips, and
#            boat_uplink, which forwards its rows to the shore.
#   common:  what both need of the system: the groups and udev rules of
#            the kernel's GPIO and SPI devices (the settings file comes
#            with the package only, see cmake/package.cmake).
#   shore:   boat_shore, the shore server, with its unit and system user
#            (its settings file likewise comes with the package only).
# Both carry boat_safe under a folder of their own, which their units run
# once the terminal has gone. The units are those of the build on the
# kernel's devices; a libbcm2835 build (BOAT_BOARD=rpi) adds the drop-ins
# of deploy/rpi, which give back what /dev/mem needs.

# deploy/NAME.service into COMPONENT, its programs' paths pointing where
# they are installed.
function(boat_install_unit name component)
  set(_src ${CMAKE_SOURCE_DIR}/deploy/${name}.service)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_src})
  file(READ ${_src} _unit)
  string(REPLACE "/usr/local/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" _unit "${_unit}")
  string(REPLACE "/usr/local/libexec/" "${CMAKE_INSTALL_FULL_LIBEXECDIR}/" _unit "${_unit}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${name}.service "${_unit}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.service DESTINATION lib/systemd/system COMPONENT ${component})
  if(BOAT_BOARD STREQUAL "rpi" AND EXISTS ${CMAKE_SOURCE_DIR}/deploy/rpi/${name}.service.d)
    install(FILES ${CMAKE_SOURCE_DIR}/deploy/rpi/${name}.service.d/bcm2835.conf
            DESTINATION lib/systemd/system/${name}.service.d COMPONENT ${component})
  endif()
endfunction()

# common
if(BOAT_BOARD STREQUAL "linux")
  install(FILES deploy/60-boat-gpio-spi.rules DESTINATION lib/udev/rules.d COMPONENT common)
  install(FILES deploy/boat-gpio-spi.sysusers DESTINATION lib/sysusers.d RENAME boat-gpio-spi.conf COMPONENT common)
endif()

# checkin
install(TARGETS boat_checkin tag_reader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT checkin)
install(TARGETS boat_safe RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/boat-checkin COMPONENT checkin)
boat_install_unit(boat_checkin checkin)
boat_install_unit(tag_reader checkin)
install(FILES deploy/RC522.conf.example DESTINATION ${CMAKE_INSTALL_DATADIR}/boat-checkin COMPONENT checkin)
install(FILES deploy/boot/checkin.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/boat-checkin
        RENAME boot-config.txt COMPONENT checkin)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat COMPONENT checkin)

# tracker
install(TARGETS boat_tracker boat_track boat_uplink RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tracker)
install(TARGETS boat_safe RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/boat-tracker COMPONENT tracker)
boat_install_unit(boat_tracker tracker)
boat_install_unit(boat_uplink tracker)
install(FILES deploy/schema.sql DESTINATION ${CMAKE_INSTALL_DATADIR}/boat-tracker COMPONENT tracker)
install(FILES deploy/boot/tracker.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/boat-tracker
        RENAME boot-config.txt COMPONENT tracker)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat COMPONENT tracker)

# shore (shore/CMakeLists.txt installs the program)
boat_install_unit(boat_shore shore)
install(FILES deploy/boat-shore.sysusers DESTINATION lib/sysusers.d RENAME boat-shore.conf COMPONENT shore)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/boat COMPONENT shore)
