# Build-time tools shared by both builds.
find_program(KSTV_WIDL NAMES x86_64-w64-mingw32-widl widl REQUIRED)
# widl stamps the current time into the library; freezing the clock makes both builds
# carry identical type-library bytes.
find_program(KSTV_FAKETIME faketime REQUIRED)

if(KSTV_WINDOWS)
  set(KSTV_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  # Built in tests/ (kstv_wine_session); wine-run.sh --hold-session runs it.
  set(KSTV_WINE_SESSION_KEEPER "${CMAKE_BINARY_DIR}/tests/kstv_wine_session.exe")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE @ONLY)
  set(KSTV_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KSTV_WINE_RUN})
endif()
