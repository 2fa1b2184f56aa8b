# The Windows build under Wine. When the MinGW-w64 cross compiler and Wine are installed, ctest
# also cross-builds the "windows" preset and runs the end-to-end suite and the scan timing
# against it in a private Wine prefix (label "wine"); otherwise these tests are not registered.
find_program(ZEL_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(ZEL_WINE wine)
find_program(ZEL_WINEBOOT wineboot)
find_program(ZEL_WINESERVER wineserver)
if(NOT (ZEL_MINGW_CXX AND ZEL_WINE AND ZEL_WINEBOOT AND ZEL_WINESERVER))
  message(STATUS "MinGW-w64 or Wine not found: the Wine tests are left out")
  return()
endif()

set(ZEL_WINDOWS_BUILD_DIR ${PROJECT_SOURCE_DIR}/build-windows)
set(ZEL_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(winePrefixScript ${CMAKE_CURRENT_SOURCE_DIR}/windows/wine-prefix.sh)

add_test(NAME wine-build
  COMMAND sh -c "'${CMAKE_COMMAND}' --preset windows >/dev/null && '${CMAKE_COMMAND}' --build --preset windows"
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
add_test(NAME wine-prefix-create COMMAND ${winePrefixScript} create ${ZEL_WINE_PREFIX})
add_test(NAME wine-prefix-kill COMMAND ${winePrefixScript} kill ${ZEL_WINE_PREFIX})
set_tests_properties(wine-build PROPERTIES FIXTURES_SETUP wine LABELS wine TIMEOUT 600)
set_tests_properties(wine-prefix-create PROPERTIES FIXTURES_SETUP wine LABELS wine)
set_tests_properties(wine-prefix-kill PROPERTIES FIXTURES_CLEANUP wine LABELS wine)

add_test(NAME wine-scan-timing
  COMMAND ${winePrefixScript} run ${ZEL_WINE_PREFIX} ${ZEL_WINDOWS_BUILD_DIR}/tests/windows/scan-timing.exe)
set_tests_properties(wine-scan-timing PROPERTIES FIXTURES_REQUIRED wine
  LABELS wine TIMEOUT 60)

add_executable(wine-e2e-tests harness.cpp e2e_test.cpp)
target_link_libraries(wine-e2e-tests PRIVATE GTest::gtest_main)
target_compile_definitions(wine-e2e-tests PRIVATE
  ZEL_RUNNER="${ZEL_WINE}"
  ZEL_BINARY="${ZEL_WINDOWS_BUILD_DIR}/zel-restarter.exe"
  ZEL_WORKER="${ZEL_WINDOWS_BUILD_DIR}/tests/windows/quorvank-worker.exe"
  ZEL_WINE_PREFIX="${ZEL_WINE_PREFIX}")
gtest_discover_tests(wine-e2e-tests TEST_PREFIX "Wine."
  PROPERTIES LABELS wine TIMEOUT 60 FIXTURES_REQUIRED wine)
