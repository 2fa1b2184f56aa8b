# The Windows build under Wine. When the MinGW-w64 cross compiler and Wine are installed, ctest
# also cross-builds the "windows" preset and runs the end-to-end scenarios against it in a
# private Wine prefix, and the Linux build against the Windows worker running under Wine (label
# "wine"); otherwise these tests are not registered.
find_program(ZEL_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(ZEL_MINGW32_CXX i686-w64-mingw32-g++-posix)
find_program(ZEL_WINE wine)
find_program(ZEL_WINESERVER wineserver)
if(NOT (ZEL_MINGW_CXX AND ZEL_MINGW32_CXX AND ZEL_WINE AND ZEL_WINESERVER))
  message(STATUS "MinGW-w64 (x86_64 and i686) or Wine not found: the Wine tests are left out")
  return()
endif()

set(windowsBuild ${PROJECT_SOURCE_DIR}/build-windows)
set(prefix ${CMAKE_BINARY_DIR}/wine-prefix)
# The scenarios watch the 64-bit worker of the Windows build; one watches a 32-bit worker too.
set(worker32 ${CMAKE_BINARY_DIR}/worker32/Quorvank-LT.exe)
add_test(NAME wine-build
  COMMAND sh -c "'${CMAKE_COMMAND}' --preset windows >/dev/null && '${CMAKE_COMMAND}' --build --preset windows && mkdir -p '${CMAKE_BINARY_DIR}/worker32' && '${ZEL_MINGW32_CXX}' -O2 -static -o '${worker32}' demo/worker.cpp"
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
set(wineEnvironment "WINEPREFIX=${prefix}" "WINEDEBUG=-all" "ZEL_WINE=${ZEL_WINE}")
set(worker64 "ZEL_WORKER=${windowsBuild}/demo/Quorvank-LT.exe")
# A fresh private prefix first; at the end every process of that prefix is ended.
set(makePrefix ${PROJECT_SOURCE_DIR}/.ci/wine-prefix)
add_test(NAME wine-prefix COMMAND bash ${makePrefix})
add_test(NAME wine-prefix-kill COMMAND sh -c "'${ZEL_WINESERVER}' -k || true")
set_tests_properties(wine-build wine-prefix PROPERTIES FIXTURES_SETUP wine LABELS wine TIMEOUT 600)
set_tests_properties(wine-prefix-kill PROPERTIES FIXTURES_CLEANUP wine LABELS wine)
set_tests_properties(wine-prefix wine-prefix-kill PROPERTIES ENVIRONMENT "${wineEnvironment}"
  ENVIRONMENT_MODIFICATION "DISPLAY=unset:")
add_e2e_tests(e2e.py windows wine ${wineEnvironment} ${worker64}
  "ZEL_BINARY=${windowsBuild}/zel-restarter.exe")
# Under Wine's 32-bit part; skipped, with a line that says so, where the kernel runs no 32-bit
# programs (there Wine's 32-bit part must not be installed: it would take every program).
add_e2e_tests(e2e.py windows32 wine ${wineEnvironment} "ZEL_WORKER=${worker32}"
  "ZEL_BINARY=${windowsBuild}/zel-restarter.exe")
add_e2e_tests(e2e.py wineworker wine ${wineEnvironment} ${worker64}
  "ZEL_BINARY=$<TARGET_FILE:zel-restarter>")
# The Windows build as a service of Wine's own service manager.
add_e2e_tests(e2e.py service wine ${wineEnvironment} ${worker64}
  "ZEL_BINARY=${windowsBuild}/zel-restarter.exe")
