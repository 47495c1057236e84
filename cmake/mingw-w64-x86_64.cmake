# Cross-building the headless Windows server on Debian with mingw-w64 (posix threads:
# std::thread and std::mutex without a Win32 threading shim).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DRAVON_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DRAVON_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRAVON_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DRAVON_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAVON_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executables carry the compiler's runtime (libstdc++, libgcc, winpthread), so a copied
# dravon.exe runs without the DLLs of a mingw installation.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
