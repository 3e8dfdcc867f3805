# Cross toolchain: 64-bit Windows (x64) through mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(DRAVOLIN_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${DRAVOLIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DRAVOLIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${DRAVOLIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DRAVOLIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test executables run under Wine's 64-bit loader, in a prefix that belongs to the build tree
# (wine64-run.sh: Wine's 64-bit loader and server, called directly).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine64-run.sh)
