# Cross-builds for 64-bit Windows with Debian's mingw-w64 (the posix-thread variant, whose C++
# library has std::thread and std::mutex) and runs what it builds under wine:
#
#   cmake -S . -B build-win --toolchain cmake/mingw-w64.cmake
#
# Programs run through build-win/wine-run, which keeps a wine prefix of its own in
# build-win/wine-prefix: a build never uses or changes ~/.wine, and a clean build tree starts
# from a clean Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KZB_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KZB_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KZB_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${KZB_MINGW_TARGET}-windres)

# Libraries and headers come from the target's tree only; programs run here, from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KZB_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# wine64 itself rather than Debian's `wine` script, which looks for a 32-bit wine first.
find_program(KZB_WINE NAMES wine64 wine HINTS /usr/lib/wine)
get_filename_component(kzb_wine_dir "${KZB_WINE}" DIRECTORY)
find_program(KZB_WINESERVER NAMES wineserver64 wineserver HINTS "${kzb_wine_dir}" /usr/lib/wine)
if(KZB_WINE AND KZB_WINESERVER)
  set(KZB_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix")
  configure_file("${CMAKE_CURRENT_LIST_DIR}/wine-run.in" "${CMAKE_BINARY_DIR}/wine-run" @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run")
else()
  message(WARNING "No wine64 and wineserver found: the Windows programs build but nothing here "
                  "can run them, so the tests and the sample are left out.")
endif()
