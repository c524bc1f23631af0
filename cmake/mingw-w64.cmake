# Cross-building for 64-bit Windows with Debian's mingw-w64 (GCC with POSIX threads, so that
# std::thread and std::mutex work), and running the built programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOLVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOLVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOLVANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later: the API level of WSAPoll, BCrypt and inet_pton.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)

# CTest runs the test programs under Wine (WINEPREFIX and WINEDEBUG come from the environment).
find_program(TOLVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(TOLVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLVANE_WINE})
endif()
