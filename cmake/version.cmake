# The version of this build, ZEL_VERSION, made from the commit that is built and never from the
# clock, so that two builds of one commit agree byte for byte:
# - the release commit, the one that carries the tag v<project version> (v1.0.0): the version of
#   project(), 1.0.0;
# - any other commit: 1.0.0+git<the commit's time in UTC, YYYYMMDDhhmmss>.<7 hex digits of its
#   hash>, which dpkg sorts above the release and above every commit of an earlier time; so is
#   the release commit in a clone without its tag;
# - outside a git checkout of this project (a source archive): the version doc/changelog.in
#   begins with, which must be the one of project().
# Inside git it also sets ZEL_COMMIT_EPOCH (the commit's time in seconds), ZEL_COMMIT_HASH and
# ZEL_COMMIT_DATE (the commit's time as a Debian changelog writes it); outside, they are empty.
# A new commit, a checkout or a new tag configures again, so that the build takes its version.

file(STRINGS doc/changelog.in zel_changelog_top LIMIT_COUNT 1)
if(NOT zel_changelog_top MATCHES "^zel-restarter \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog.in does not begin with version ${PROJECT_VERSION}")
endif()

set(ZEL_VERSION ${PROJECT_VERSION})
set(ZEL_COMMIT_EPOCH "")
set(ZEL_COMMIT_HASH "")
set(ZEL_COMMIT_DATE "")
set(zel_version_source "doc/changelog.in (not a git checkout)")

# A git checkout of this project, not a source archive unpacked inside another checkout.
execute_process(COMMAND git rev-parse --show-toplevel WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE zel_git_top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                RESULT_VARIABLE zel_git_result)
if(zel_git_result EQUAL 0)
  file(REAL_PATH "${zel_git_top}" zel_git_top)
  file(REAL_PATH "${PROJECT_SOURCE_DIR}" zel_source_top)
endif()
if(NOT zel_git_result EQUAL 0 AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  message(WARNING "git cannot read ${PROJECT_SOURCE_DIR} (is git installed, and the checkout "
          "owned by this user?): the version is taken from doc/changelog.in")
endif()
if(zel_git_result EQUAL 0 AND zel_git_top STREQUAL zel_source_top)
  # The committer's time: a commit made later, a rebase or an amendment gets a later one.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
                  git log -1 --date=format-local:%Y%m%d%H%M%S --format=%ct%n%H%n%cd%n%cD
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE zel_commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE "\n" ";" zel_commit "${zel_commit}")
  list(LENGTH zel_commit zel_commit_lines)
  if(NOT zel_commit_lines EQUAL 4)
    message(FATAL_ERROR "git cannot read the commit to build in ${PROJECT_SOURCE_DIR}")
  endif()
  list(GET zel_commit 0 ZEL_COMMIT_EPOCH)
  list(GET zel_commit 1 ZEL_COMMIT_HASH)
  list(GET zel_commit 2 zel_commit_time)
  list(GET zel_commit 3 ZEL_COMMIT_DATE)
  # The hash is cut to a fixed length, not git's --short, which may grow with the repository.
  string(SUBSTRING "${ZEL_COMMIT_HASH}" 0 7 zel_short_hash)
  execute_process(COMMAND git tag --list --points-at HEAD v${PROJECT_VERSION}
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE zel_release_tag OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(zel_release_tag STREQUAL "v${PROJECT_VERSION}")
    set(zel_version_source "release tag v${PROJECT_VERSION} on commit ${zel_short_hash}")
  else()
    set(ZEL_VERSION "${PROJECT_VERSION}+git${zel_commit_time}.${zel_short_hash}")
    set(zel_version_source "commit ${zel_short_hash}")
  endif()

  # Files git changes on a commit, a checkout, a reset or a new tag.
  execute_process(COMMAND git rev-parse --path-format=absolute --git-path HEAD
                  --git-path logs/HEAD --git-path refs/tags --git-path packed-refs
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE zel_git_files OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE "\n" ";" zel_git_files "${zel_git_files}")
  foreach(zel_git_file IN LISTS zel_git_files)
    if(EXISTS "${zel_git_file}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${zel_git_file}")
    endif()
  endforeach()
endif()
message(STATUS "zel-restarter version ${ZEL_VERSION}, from ${zel_version_source}")
