# Cross build of the Windows product with MinGW-w64 (posix threads), run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KSTV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KSTV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KSTV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${KSTV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KSTV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine, in the build's own throw-away prefix (see cmake/wine-run.sh.in).
set(KSTV_RUN_UNDER_WINE ON)
