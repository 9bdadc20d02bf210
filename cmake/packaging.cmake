# Start-up files of the daemon, and the Debian packages made by CPack:
#   tarvid        the daemon, the tools, the init script and the systemd unit
#   libtarvi1     the shared client library under its soname
#   libtarvi-dev  the header, the static library, the link name, the
#                 pkg-config file and the CMake package
# for the architecture being built (amd64 on the host, armhf for the device).
# scripts/package.sh configures with the /usr prefix and runs cpack.

# Under the /usr prefix (packages) the init script goes to /etc itself;
# under any other prefix it stays inside the prefix, so that
# `cmake --install --prefix` never writes outside it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(TARVI_INITDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d)
else()
  set(TARVI_INITDIR ${CMAKE_INSTALL_SYSCONFDIR}/init.d)
endif()
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/init/tarvid DESTINATION ${TARVI_INITDIR} COMPONENT daemon)
install(FILES ${PROJECT_SOURCE_DIR}/examples/init/tarvid.service DESTINATION lib/systemd/system COMPONENT daemon)

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(TARVI_DEB_ARCH armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE TARVI_DEB_ARCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT TARVI_DEB_ARCH)
    set(TARVI_DEB_ARCH amd64)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tarvi developers <tarvi-dev@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Configuration manager of the WiMAX CPE")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The device's flash is small: packages carry stripped programs.
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL daemon runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVI_DEB_ARCH})
# Dependencies are named here rather than found by dpkg-shlibdeps, which
# cannot read the target's libraries when cross-building.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(_tarvi_same "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_DAEMON_PACKAGE_NAME tarvid)
set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS
  "libtarvi1 ${_tarvi_same}, libc6, libstdc++6, libgcc-s1, libcrypt1, libarchive13, tar, gzip")
set(CPACK_COMPONENT_DAEMON_DESCRIPTION "Configuration daemon and its tools
 tarvid keeps the device's flat settings in checksummed images on A/B flash
 partitions, the configuration tree and the properties and services. The
 tools are tarvi, the command-line client, and tarvi-pack, the image tool.")
set(_tarvi_conffiles ${PROJECT_BINARY_DIR}/deb-daemon/conffiles)
file(WRITE ${_tarvi_conffiles} "${CMAKE_INSTALL_FULL_SYSCONFDIR}/init.d/tarvid\n")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${_tarvi_conffiles})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarvi1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libcrypt1")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Client library of the tarvi configuration daemon
 Every program of the device that reads or changes configuration links this
 library: one call, one request to the daemon's local socket.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvi-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libtarvi1 ${_tarvi_same}, libcrypt-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Development files of the tarvi client library
 The C header, the static library, the pkg-config file libtarvi.pc and the
 CMake package tarvi (imported target tarvi::tarvi).")

include(CPack)
