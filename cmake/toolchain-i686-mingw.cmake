# Cross toolchain: 32-bit Windows (x86) through mingw-w64. Test programs run under Wine.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(DRAVOLIN_MINGW_PREFIX i686-w64-mingw32)
set(DRAVOLIN_WINE_RUN wine-run.sh)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
