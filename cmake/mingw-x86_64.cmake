# Cross toolchain: the same programs as 64-bit Windows ones. The installer ships as a 32-bit
# program (cmake/mingw-i686.cmake); this build exists so that the Windows tests can run under a
# 64-bit-only Wine, on machines whose kernel runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PELLMORROW_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
