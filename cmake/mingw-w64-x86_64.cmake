# Cross-compiles the Windows build with MinGW-w64 on Linux: 64-bit only, static runtime, so
# zel-restarter.exe needs no DLL beyond the system's. The -posix compilers are the ones with
# std::mutex (the default -win32 variant has none).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Hardening and reproducibility: the stack protector (its runtime linked statically with the
# rest), the source folder mapped to "." in file names the compiler records, and a fixed PE time
# stamp instead of the link time. ld keeps its defaults for ASLR, high-entropy addresses and DEP
# (--dynamicbase, --high-entropy-va, --nxcompat).
get_filename_component(zel_source_dir "${CMAKE_CURRENT_LIST_DIR}" DIRECTORY)
set(CMAKE_CXX_FLAGS_INIT "-fstack-protector-strong -ffile-prefix-map=${zel_source_dir}=.")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -fstack-protector-strong -Wl,--no-insert-timestamp")
