# What both Windows toolchains share, for the mingw-w64 target PELLMORROW_MINGW_TRIPLE set by the
# including file. The posix thread model gives the C++ library its mutexes (GoogleTest needs
# them); the runtime is linked statically all the same.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PELLMORROW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELLMORROW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PELLMORROW_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PELLMORROW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Programs built here run under Wine (tests, CTest's emulator).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
