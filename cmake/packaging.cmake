# Installation and packages. The version, ZEL_VERSION (cmake/version.cmake), feeds --version, the
# man page, the changelog and the packages' names and control data.
include(GNUInstallDirs)

# Reproducible packages: every time in them is SOURCE_DATE_EPOCH, the time of the commit built
# (or, outside a git checkout, of the changelog's first entry) unless the builder sets it.
# cpack reads it from its environment, so the CPack configuration sets it there, along with
# TZ=UTC for the zip format's local-time stamps.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(zel_source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
elseif(ZEL_COMMIT_EPOCH)
  set(zel_source_date_epoch "${ZEL_COMMIT_EPOCH}")
else()
  file(STRINGS doc/changelog.in zel_changelog_date REGEX "^ -- " LIMIT_COUNT 1)
  # The date follows the maintainer (still @ZEL_PACKAGE_MAINTAINER@ here) and two blanks.
  string(REGEX REPLACE "^ -- .*  " "" zel_changelog_date "${zel_changelog_date}")
  execute_process(COMMAND date -d "${zel_changelog_date}" +%s
                  OUTPUT_VARIABLE zel_source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT zel_source_date_epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no time for SOURCE_DATE_EPOCH from git or doc/changelog.in")
endif()
file(WRITE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake
     "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n"
     "  set(ENV{SOURCE_DATE_EPOCH} ${zel_source_date_epoch})\n"
     "endif()\n"
     "set(ENV{TZ} UTC)\n")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
# Folders in the packages get the same modes whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The project has no mail address of its own; example.org is reserved for examples and reaches
# nobody. Whoever builds packages for others sets their own with -DZEL_PACKAGE_MAINTAINER=.
set(ZEL_PACKAGE_MAINTAINER "zel-restarter authors <zel-restarter@example.org>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

if(WIN32)
  # The Windows archive is flat: the program and its README side by side.
  install(TARGETS zel-restarter RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  # Debian's layout: a compressed manual page and, beside the README, the copyright file in
  # Debian's machine-readable format and the changelog, compressed (gzip -9n: no name or time in
  # the header, so the same sources give the same bytes).
  configure_file(doc/zel-restarter.1.in zel-restarter.1 @ONLY)
  # A build between releases gets a changelog entry of its own on top, so that the changelog
  # begins with the package's version, dated with the commit's time.
  file(READ doc/changelog.in zel_changelog)
  if(NOT ZEL_VERSION STREQUAL PROJECT_VERSION)
    string(PREPEND zel_changelog
           "zel-restarter (${ZEL_VERSION}) unstable; urgency=medium\n\n"
           "  * Built from git commit ${ZEL_COMMIT_HASH},\n"
           "    which follows release ${PROJECT_VERSION}.\n\n"
           " -- @ZEL_PACKAGE_MAINTAINER@  ${ZEL_COMMIT_DATE}\n\n")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS doc/changelog.in)
  file(CONFIGURE OUTPUT changelog CONTENT "${zel_changelog}" @ONLY)
  foreach(zel_file zel-restarter.1 changelog)
    execute_process(COMMAND gzip -9n -c ${zel_file} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
                    OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${zel_file}.gz
                    RESULT_VARIABLE zel_gzip_result)
    if(NOT zel_gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip -9n ${zel_file} failed")
    endif()
  endforeach()
  # The copyright file carries the licence text of LICENSE, indented as the format wants it.
  file(READ LICENSE zel_license)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" zel_unused "${zel_license}")
  set(zel_copyright "${CMAKE_MATCH_1}")
  string(FIND "${zel_license}" "Permission is hereby granted" zel_terms_start)
  string(SUBSTRING "${zel_license}" ${zel_terms_start} -1 zel_terms)
  string(STRIP "${zel_terms}" zel_terms)
  string(REPLACE "\n\n" "\n.\n" zel_terms "${zel_terms}")
  string(REPLACE "\n" "\n " zel_terms "${zel_terms}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: zel-restarter\n"
       "\n"
       "Files: *\n"
       "Copyright: ${zel_copyright}\n"
       "License: Expat\n"
       " ${zel_terms}\n")

  install(TARGETS zel-restarter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zel-restarter.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The unit runs /usr/bin/zel-restarter, so it goes where systemd finds it only with an
  # installation under /usr (the package's); other prefixes would get a unit naming a program
  # that is not there.
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      file(INSTALL DESTINATION /lib/systemd/system TYPE FILE
           FILES \"${CMAKE_CURRENT_SOURCE_DIR}/contrib/zel-restarter@.service\")
    endif()")
endif()

set(CPACK_PACKAGE_NAME zel-restarter)
set(CPACK_PACKAGE_VERSION ${ZEL_VERSION})
set(CPACK_PACKAGE_VENDOR "zel-restarter")
set(CPACK_PACKAGE_CONTACT ${ZEL_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watchdog that restarts the Quorvank-LT worker")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zel-restarter-${ZEL_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZEL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The watchdog can watch a Windows worker under Wine.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine, wine64")
  # Maintainer scripts: systemd reloads on installation, running watchdogs restart after an
  # upgrade, and all of them stop before removal (workers keep running).
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/contrib/debian/postinst
      ${PROJECT_SOURCE_DIR}/contrib/debian/prerm ${PROJECT_SOURCE_DIR}/contrib/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-member-modes.cmake)
  # The summary above becomes the first line; this is the long description under it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "zel-restarter runs beside one Quorvank-LT worker (Quorvank-LT.exe or a numbered
instance Quorvank-LT-<n>.exe), looks for it in the process list at a fixed
interval and, when it has been missing on three consecutive scans, starts it
again through a start script. Every event is written as a timestamped line to
the console and to a log file of its own.")
endif()

include(CPack)
