# The Windows program, its framework layer and its tests.

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
