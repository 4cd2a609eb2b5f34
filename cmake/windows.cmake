# The Windows program, its framework layer and its tests.

# A bare Windows machine has no mingw runtime DLLs: link everything statically.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0800)
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE "-s")
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)
target_link_libraries(stamp PRIVATE)

add_library(pellmorrow_win STATIC
  framework/WinApp.cpp
  framework/Wnd.cpp
  framework/Dialog.cpp
  framework/Controls.cpp
  services/RegistryKey.cpp
  services/Downloader.cpp
  controls/Picture.cpp
  controls/PercentProgressBar.cpp
  app/InstallerDialog.cpp
)
target_include_directories(pellmorrow_win PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/res)
target_link_libraries(pellmorrow_win PUBLIC pellmorrow_core
  comctl32 ole32 oleaut32 uuid wininet shell32 rpcrt4 advapi32 gdi32 user32 kernel32)

# The resource script, with the server host filled in at configure time.
configure_file(res/server_host.h.in ${CMAKE_BINARY_DIR}/generated/server_host.h @ONLY)
set(PELLMORROW_RC ${CMAKE_SOURCE_DIR}/res/installer.rc)
set_property(SOURCE ${PELLMORROW_RC} APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/res/installer.manifest ${CMAKE_SOURCE_DIR}/res/resource.h
  ${CMAKE_SOURCE_DIR}/res/icon.ico ${CMAKE_SOURCE_DIR}/res/background.jpg
  ${CMAKE_BINARY_DIR}/generated/server_host.h)
set(CMAKE_RC_FLAGS "-I${CMAKE_SOURCE_DIR}/res -I${CMAKE_BINARY_DIR}/generated")
enable_language(RC)

add_executable(PellmorrowInstaller WIN32 app/InstallerApp.cpp framework/WinMain.cpp ${PELLMORROW_RC})
target_link_libraries(PellmorrowInstaller PRIVATE pellmorrow_win)

add_subdirectory(tests/win)
add_subdirectory(tests/e2e)
