# Installation and packages.
# Linux: the GNU layout (GNUInstallDirs) under CMAKE_INSTALL_PREFIX: both executables in bin/, the
# manual pages in share/man/man1/, README.md, the notice (as Debian's copyright file), a changelog
# and examples/demo-app.hex and examples/station.sh in share/doc/ralvex-service-tool/; `cpack`
# makes the Debian package.
# Windows (mingw-w64): a flat folder with ralvex-service-tool.exe, its manual page as text,
# README.md, NOTICE.txt, examples/demo-app.hex and examples/station.cmd; `cpack` makes the zip. The vendor libraries are
# never shipped: the vendors' driver packages install them.
set(CMAKE_INSTALL_DOCDIR share/doc/ralvex-service-tool CACHE PATH "Documentation (DOCDIR)")
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(RALVEX_PACKAGE_MAINTAINER
    "Ralvex service tool maintainers <maintainers@users.noreply.c-seed-42af6a6c.example>"
    CACHE STRING "Maintainer of the packages: Name <address>")

if(WIN32)
  install(TARGETS ralvex-service-tool RUNTIME DESTINATION .)
  install(FILES ${RALVEX_MANUAL_PAGES} README.md DESTINATION .)
  install(FILES NOTICE DESTINATION . RENAME NOTICE.txt)
  install(FILES examples/demo-app.hex examples/station.cmd DESTINATION examples)
else()
  install(TARGETS ralvex-service-tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(TARGET ralvex-sim-unit)
    install(TARGETS ralvex-sim-unit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(FILES ${RALVEX_MANUAL_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES examples/demo-app.hex examples/station.sh
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Debian's changelog of a native package (gzip -9n); its date follows SOURCE_DATE_EPOCH when set.
  string(TIMESTAMP RALVEX_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(cmake/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  if(GZIP_EXECUTABLE)
    execute_process(COMMAND ${GZIP_EXECUTABLE} -9 -n -c INPUT_FILE ${PROJECT_BINARY_DIR}/changelog
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz)
    install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
endif()

set(CPACK_PACKAGE_NAME ralvex-service-tool)
set(CPACK_PACKAGE_VENDOR "Ralvex service tool maintainers")
set(CPACK_PACKAGE_CONTACT "${RALVEX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "flash Ralvex control units and W2 sensor nodes over CAN")
set(CPACK_PACKAGE_DESCRIPTION
"ralvex-service-tool flashes the application of a Ralvex control unit from an
Intel HEX file, backs up and restores the unit's parameter area, and flashes
the W2 sensor nodes on the same CAN bus (250 kbit/s, 29-bit identifiers).

It reaches the bus through a SocketCAN interface, a PEAK PCAN-USB adapter
(PCAN-Basic) or a Kvaser adapter (CANlib); the vendor libraries are loaded at
run time from the vendors' driver packages. Without an adapter, -i sim runs
every job against an emulated unit on an emulated bus.

ralvex-sim-unit puts the emulated unit and sensor nodes on a SocketCAN
interface (vcan for bench tests).")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${RALVEX_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "can-utils")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  if(CMAKE_STRIP)
    set(CPACK_RALVEX_STRIP ${CMAKE_STRIP})
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack_strip_comment.cmake)
  endif()
endif()
include(CPack)
