# Installation and packages. The version comes from project() alone: it feeds --version (through
# ZEL_VERSION), the man page and the package names.
include(GNUInstallDirs)

if(WIN32)
  # The Windows archive is flat: the program and its README side by side.
  install(TARGETS zel-restarter RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  configure_file(doc/zel-restarter.1.in zel-restarter.1 @ONLY)
  install(TARGETS zel-restarter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zel-restarter.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md contrib/zel-restarter@.service
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(ZEL_PACKAGE_MAINTAINER "zel-restarter maintainers <zel-restarter@localhost>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME zel-restarter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "zel-restarter")
set(CPACK_PACKAGE_CONTACT ${ZEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watchdog that restarts the Quorvank-LT worker")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zel-restarter-${PROJECT_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZEL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The summary above becomes the first line; this is the long description under it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "zel-restarter runs beside one Quorvank-LT worker (Quorvank-LT.exe or a numbered
instance Quorvank-LT-<n>.exe), looks for it in the process list at a fixed
interval and, when it has been missing on three consecutive scans, starts it
again through a start script. Every event is written as a timestamped line to
the console and to a log file of its own.")
endif()

include(CPack)
