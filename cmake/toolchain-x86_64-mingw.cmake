# Cross toolchain: 64-bit Windows (x64) through mingw-w64. Test programs run under Wine's
# 64-bit loader and server, called directly (wine64-run.sh).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(DRAVOLIN_MINGW_PREFIX x86_64-w64-mingw32)
set(DRAVOLIN_WINE_RUN wine64-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
