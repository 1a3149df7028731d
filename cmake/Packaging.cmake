# Debian packages for the station:
#   vantorel-station-center        the daemon, its systemd unit, the default
#                                  config.json and led.json, the hardware-information library
#   vantorel-station-center-tools  board_sim and stationctl
# Built with `cpack` in the build directory (scripts/build-arm64 does it for arm64).
include(GNUInstallDirs)

set(STATION_PACKAGE vantorel-station-center)
# The packages install under /usr: the library goes to the multiarch directory.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(STATION_PACKAGE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE})
else()
  set(STATION_PACKAGE_LIBDIR lib)
endif()

if(TARGET station_center)
  install(TARGETS station_center RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT daemon)
endif()
# Our own library only; where the maker's is installed, it is theirs to ship.
get_target_property(_station_hw_type vantorel_hardware TYPE)
if(_station_hw_type STREQUAL "SHARED_LIBRARY")
  install(TARGETS vantorel_hardware LIBRARY DESTINATION ${STATION_PACKAGE_LIBDIR} COMPONENT daemon NAMELINK_SKIP)
endif()
install(FILES packaging/${STATION_PACKAGE}.service DESTINATION lib/systemd/system COMPONENT daemon)
# The service's user, made by the maintainer script with systemd-sysusers.
install(FILES packaging/${STATION_PACKAGE}.sysusers DESTINATION lib/sysusers.d RENAME ${STATION_PACKAGE}.conf
  COMPONENT daemon)
# Defaults only: the maintainer script copies them into the configuration
# directory where a station has none, because the daemon rewrites its files.
install(FILES packaging/config.json packaging/led.json DESTINATION ${CMAKE_INSTALL_DATADIR}/${STATION_PACKAGE}
  COMPONENT daemon)
foreach(tool board_sim stationctl)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${STATION_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Vantorel")
set(CPACK_PACKAGE_CONTACT "Vantorel station team <station@vantorel.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL daemon tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies from the shared libraries the binaries actually link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

# The target's Debian architecture, not the build host's (cross builds).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
# dpkg-shlibdeps looks libraries up for DEB_HOST_ARCH; set it while cpack runs.
set(STATION_CPACK_C_COMPILER ${CMAKE_C_COMPILER})
configure_file(${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake.in ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME ${STATION_PACKAGE})
set(CPACK_COMPONENT_DAEMON_DESCRIPTION "Controller daemon of the Vantorel robot docking and service station
Serves the cleaning robot over MQTT, drives the station's control board and
reports to the cloud. Runs as the systemd service vantorel-station-center.")
# systemd-sysusers makes the service's user, userdel and groupdel remove it on purge.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "systemd, passwd")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm
  ${CMAKE_SOURCE_DIR}/packaging/triggers)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${STATION_PACKAGE}-tools)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Tools for the Vantorel station controller
board_sim simulates the station's control board; stationctl plays the robot
and the cloud over MQTT.")
# board_sim links the hardware-information library of the daemon's package.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${STATION_PACKAGE} (= ${PROJECT_VERSION}-1)")

include(CPack)
