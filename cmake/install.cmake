# Installation layout and the Debian package (cpack -G DEB in a build directory).
# Installed as a system package: programs under /usr, configuration under /etc.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
set(CMAKE_INSTALL_DOCDIR share/doc/tolmark CACHE PATH "Documentation")
# find_package(Qt6) for the manager includes GNUInstallDirs first, which leaves the cache entry
# empty (and would name the folder after the project, "Tolmark").
if(NOT CMAKE_INSTALL_DOCDIR)
  set(CMAKE_INSTALL_DOCDIR share/doc/tolmark CACHE PATH "Documentation" FORCE)
endif()
include(GNUInstallDirs)

install(TARGETS Velkora RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS trisko RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manager: the program, its desktop entry and icon, and its language files where an installed
# Dorvane looks for them (../share/tolmark/Languages/ from /usr/bin).
if(TOLMARK_MANAGER)
  install(TARGETS Dorvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/dorvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/manager/icons/dorvane.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/manager/Languages/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tolmark/Languages
          FILES_MATCHING PATTERN "*.ini")
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/manager/doc/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tolmark/doc
          FILES_MATCHING PATTERN "*.htm" PATTERN "*.css")
endif()

# Manual pages go in compressed, as man-db and Debian's policy expect (-n: no name or time in
# the header, so the package's bytes depend on the page alone). configure_file reruns the
# configuration when a page changes, and the compression with it.
find_program(GZIP_PROGRAM gzip REQUIRED)
foreach(page Velkora trisko)
  configure_file(${CMAKE_SOURCE_DIR}/docs/man/${page}.8.in ${CMAKE_BINARY_DIR}/man/${page}.8 @ONLY)
  execute_process(COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_BINARY_DIR}/man/${page}.8
                  OUTPUT_FILE ${CMAKE_BINARY_DIR}/man/${page}.8.gz COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endforeach()

# The registry file is the server's own to write (it records its program directory there), so
# it is no configuration file of the package: the package installs its first form, and the
# installation script puts it in /etc/tolmark/ when there is none yet.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/registry.ini DESTINATION ${CMAKE_INSTALL_DATADIR}/tolmark)
# The unit from the template that "Velkora -install" writes too (platform/CMakeLists.txt), with
# the installed paths; the installation scripts create and name the same service user.
set(SERVICE_USER ${TOLMARK_SERVICE_USER})
set(EXECUTABLE ${CMAKE_INSTALL_FULL_SBINDIR}/Velkora)
set(DATA_DIRECTORY /var/lib/tolmark/)
configure_file(${CMAKE_SOURCE_DIR}/packaging/DOZAdadaved.service.in ${CMAKE_BINARY_DIR}/packaging/DOZAdadaved.service
               @ONLY)
foreach(script postinst postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${script}.in ${CMAKE_BINARY_DIR}/packaging/${script} @ONLY)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/packaging/DOZAdadaved.service DESTINATION lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/Dorvane.ini.example DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolmark)
set(CPACK_PACKAGE_VENDOR "Tolmark")
set(CPACK_PACKAGE_CONTACT "Tolmark maintainers <maintainers@tolmark.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DHCP/BOOTP server with a built-in TFTP server")
set(CPACK_PACKAGE_DESCRIPTION
    "Velkora hands out IPv4 addresses and options to the clients of the host's networks, directly or\n\
through relay agents, serves boot files over TFTP and registers client names in DNS. trisko lists\n\
and changes its client entries while it runs. Dorvane, the desktop manager, shows the clients, the\n\
TFTP transfers and the log, and edits the settings, the profiles and the static entries.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The installation script makes the service's user and group (useradd, groupadd); the libraries'
# dependencies are added to this list.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "passwd")
# The manager needs a display platform and a font at run time, which no library link names; the
# server loads libpq only when a lease database is configured.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, fonts-dejavu-core, libpq5")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
