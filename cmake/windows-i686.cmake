# Windows i686 (32-bit): Debian g++-mingw-w64-i686.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KESTRUNE_MINGW_TRIPLET i686-w64-mingw32)
set(KESTRUNE_WINE_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
