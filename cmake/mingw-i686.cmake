# Cross toolchain: 32-bit Windows from Debian's mingw-w64, as the installer ships.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PELLMORROW_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
