# The Windows program, its framework layer and its tests.

add_library(pellmorrow_win STATIC
  framework/WinApp.cpp
  framework/Wnd.cpp
  framework/Dialog.cpp
  framework/Controls.cpp
  services/RegistryKey.cpp
  services/Downloader.cpp
  services/PublisherCheck.cpp
  services/OwnImage.cpp
  services/PeHeaders.cpp
  services/SystemDlls.cpp
  services/RunFolder.cpp
  services/HeldFile.cpp
  services/KeptDownload.cpp
  services/FileDigest.cpp
  controls/Picture.cpp
  controls/PercentProgressBar.cpp
  controls/OffscreenDC.cpp
  controls/SkinButton.cpp
  app/InstallerDialog.cpp
  app/ScreenScale.cpp
  app/InstallerDialogSession.cpp
  app/RunReport.cpp
  app/SetupWorkers.cpp
  app/InstallFolder.cpp
  app/ProxyCredentials.cpp
  app/Slideshow.cpp
  framework/StringInstances.cpp
)
# The button's grey copies are defined in double precision; the x87 unit's 80-bit sums would give
# other greys than the same code built natively.
set_source_files_properties(${CMAKE_SOURCE_DIR}/controls/SkinButtonMath.cpp
  PROPERTIES COMPILE_OPTIONS "-msse2;-mfpmath=sse")
# Only DLLs that Windows always takes from its own folder (and the common controls, which the
# manifest brings from the side-by-side store); WinINet, wintrust and crypt32 are loaded from the
# system folder at run time (services/SystemDlls.h). tests/imports checks the built programs. The
# tests link these; the installer links the window's DLLs delay-loaded (PELLMORROW_INSTALLER_LIBS).
set(PELLMORROW_SYSTEM_LIBS
  comctl32 ole32 oleaut32 uuid shell32 rpcrt4 advapi32 gdi32 user32 kernel32)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(comctl32_extra ${CMAKE_BINARY_DIR}/libcomctl32_extra.a)
  add_custom_command(OUTPUT ${comctl32_extra}
    COMMAND ${PELLMORROW_MINGW_TRIPLE}-dlltool -d ${CMAKE_SOURCE_DIR}/cmake/comctl32-x86_64.def -l ${comctl32_extra}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/comctl32-x86_64.def)
  add_custom_target(comctl32_extra DEPENDS ${comctl32_extra})
  add_library(comctl32_extra_lib STATIC IMPORTED)
  set_target_properties(comctl32_extra_lib PROPERTIES IMPORTED_LOCATION ${comctl32_extra})
  add_dependencies(comctl32_extra_lib comctl32_extra)
  list(APPEND PELLMORROW_SYSTEM_LIBS comctl32_extra_lib)
endif()
target_include_directories(pellmorrow_win PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/res)
target_link_libraries(pellmorrow_win PUBLIC pellmorrow_core ${PELLMORROW_SYSTEM_LIBS})

# delay_loaded(DLL FUNCTION@ARGUMENT_BYTES ...): an import library of DLL through which the
# program loads it at the first call of any of these functions, and not with the program. The
# installer loads the window's DLLs so: their start-up (the common controls bring the display
# driver and the themes) would otherwise come before any of the program's code, and the setup
# program's request waits for none of it. Only DLLs that come from the system folder whatever
# the search (KnownDLLs, and the common controls through the manifest's side-by-side
# dependency): the loader helper loads them by name. Appends the library to PELLMORROW_DELAY_LIBS.
function(delay_loaded dll)
  set(def "LIBRARY ${dll}\nEXPORTS\n")
  foreach(function ${ARGN})
    # 32-bit names carry the size of their arguments; the DLL exports them without it (-k).
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      string(REGEX REPLACE "@[0-9]+$" "" function ${function})
    endif()
    string(APPEND def "${function}\n")
  endforeach()
  get_filename_component(name ${dll} NAME_WE)
  set(def_file ${CMAKE_BINARY_DIR}/delay/${name}.def)
  file(CONFIGURE OUTPUT ${def_file} CONTENT "${def}")
  set(library ${CMAKE_BINARY_DIR}/delay/lib${name}_delay.a)
  add_custom_command(OUTPUT ${library}
    COMMAND ${PELLMORROW_MINGW_TRIPLE}-dlltool -k -d ${def_file} -y ${library}
    DEPENDS ${def_file})
  add_custom_target(${name}_delay DEPENDS ${library})
  add_library(${name}_delay_lib STATIC IMPORTED)
  set_target_properties(${name}_delay_lib PROPERTIES IMPORTED_LOCATION ${library})
  add_dependencies(${name}_delay_lib ${name}_delay)
  set(PELLMORROW_DELAY_LIBS ${PELLMORROW_DELAY_LIBS} ${name}_delay_lib PARENT_SCOPE)
endfunction()
delay_loaded(comctl32.dll InitCommonControlsEx@4 SetWindowSubclass@16 DefSubclassProc@16
  RemoveWindowSubclass@12 GetWindowSubclass@16 _TrackMouseEvent@4)
delay_loaded(ole32.dll OleInitialize@4 OleUninitialize@0 CoInitializeEx@8 CoUninitialize@0
  CreateStreamOnHGlobal@12 CoTaskMemFree@4)
delay_loaded(oleaut32.dll OleLoadPicture@20)
set(PELLMORROW_INSTALLER_LIBS ${PELLMORROW_DELAY_LIBS} uuid shell32 rpcrt4 advapi32 gdi32 user32 kernel32)

# The installer is what users download, so it is built for size (bench/size.sh reports it): from
# the same sources as the two libraries, compiled once more for link-time optimisation, which
# drops what nothing calls (--gc-sections alone keeps most of it on this target).
# Mixing such objects with plain ones in one program breaks the link, so the tests keep the
# plain libraries.
get_target_property(core_sources pellmorrow_core SOURCES)
get_target_property(win_sources pellmorrow_win SOURCES)
add_library(pellmorrow_installer OBJECT ${core_sources} ${win_sources})
target_include_directories(pellmorrow_installer PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/res)
set_property(TARGET pellmorrow_installer PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
# It links the C++ runtime of the compiler's win32 thread model instead of the posix one: the
# same compiler version and library ABI, without the winpthread library (about 30 KB) that only
# std::thread and std::mutex need, which the program does not use (GoogleTest and the tests do).
execute_process(COMMAND ${PELLMORROW_MINGW_TRIPLE}-gcc-win32 -print-libgcc-file-name
                OUTPUT_VARIABLE win32_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(PELLMORROW_WIN32_RUNTIME_DIR ${win32_libgcc} DIRECTORY)
# The stamping tool needs no threads either.
target_link_directories(stamp BEFORE PRIVATE ${PELLMORROW_WIN32_RUNTIME_DIR})

# The resource script. The server host (string 102) comes from a header made per program, so that
# the end-to-end tests get a copy of the installer that talks to their own server on loopback.
set(PELLMORROW_E2E_HOST "127.0.0.1:47811" CACHE STRING
    "Host of the test server that the end-to-end tests' copy of the installer talks to")
set(PELLMORROW_E2E_TLS_HOST "https://127.0.0.1:47812" CACHE STRING
    "Server of the end-to-end tests' copy of the installer that talks over TLS")
set(PELLMORROW_RC ${CMAKE_SOURCE_DIR}/res/installer.rc)
file(GLOB PELLMORROW_LANGUAGE_BITMAPS ${CMAKE_SOURCE_DIR}/res/lang_*.bmp)
# The manifest names the program's processor, and the common controls' for it: x86 for the
# shipped 32-bit program, amd64 for a 64-bit build (the tests' where Wine runs no 32-bit code).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PELLMORROW_MANIFEST_ARCH amd64)
else()
  set(PELLMORROW_MANIFEST_ARCH x86)
endif()
# Programs that take in the resource script also include this folder.
set(PELLMORROW_MANIFEST_DIR ${CMAKE_BINARY_DIR}/generated/manifest)
configure_file(${CMAKE_SOURCE_DIR}/res/installer.manifest.in ${PELLMORROW_MANIFEST_DIR}/installer.manifest @ONLY)
set_property(SOURCE ${PELLMORROW_RC} APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_BINARY_DIR}/generated/manifest/installer.manifest ${CMAKE_SOURCE_DIR}/res/resource.h
  ${CMAKE_SOURCE_DIR}/res/icon.ico ${CMAKE_SOURCE_DIR}/res/background.jpg ${PELLMORROW_LANGUAGE_BITMAPS}
  ${CMAKE_BINARY_DIR}/generated/PellmorrowInstaller/server_host.h
  ${CMAKE_BINARY_DIR}/generated/PellmorrowInstallerE2E/server_host.h
  ${CMAKE_BINARY_DIR}/generated/PellmorrowInstallerE2ETls/server_host.h)
enable_language(RC)

# server_host_dir(NAME HOST): the folder holding NAME's server_host.h, set to HOST.
function(server_host_dir name host)
  set(PELLMORROW_SERVER_HOST ${host})
  configure_file(${CMAKE_SOURCE_DIR}/res/server_host.h.in
                 ${CMAKE_BINARY_DIR}/generated/${name}/server_host.h @ONLY)
endfunction()

# The linker's name for the structure: 32-bit C names carry a leading underscore.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(PELLMORROW_LOAD_CONFIG_SYMBOL __load_config_used)
else()
  set(PELLMORROW_LOAD_CONFIG_SYMBOL _load_config_used)
endif()

function(add_installer name host)
  server_host_dir(${name} ${host})
  add_executable(${name} WIN32 app/InstallerApp.cpp framework/WinMain.cpp framework/DelayLoadFailure.cpp ${PELLMORROW_RC})
  target_include_directories(${name} PRIVATE ${CMAKE_BINARY_DIR}/generated/${name} ${PELLMORROW_MANIFEST_DIR})
  target_link_libraries(${name} PRIVATE pellmorrow_installer ${PELLMORROW_INSTALLER_LIBS})
  set_property(TARGET ${name} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
  # The whole program optimised as one piece. Split into partitions, Debian's GCC 12 for mingw-w64
  # stops with an internal error (binds_to_current_def_p) on constructors cloned across them,
  # depending on what else the program holds; one partition has no such seams.
  target_link_options(${name} PRIVATE -flto-partition=one)
  # Searched before the compiler's own directory: its libstdc++ and libgcc are the win32 model's.
  target_link_directories(${name} BEFORE PRIVATE ${PELLMORROW_WIN32_RUNTIME_DIR})
  # The map shows what each library object adds (bench/size.sh).
  target_link_options(${name} PRIVATE -Wl,-Map=$<TARGET_FILE_DIR:${name}>/${name}.map)
  # The load configuration (framework/WinMain.cpp): kept, and its directory entry filled in.
  target_link_options(${name} PRIVATE -Wl,--require-defined=${PELLMORROW_LOAD_CONFIG_SYMBOL})
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/set_load_config.py $<TARGET_FILE:${name}>
            $<TARGET_FILE_DIR:${name}>/${name}.map)
endfunction()

add_installer(PellmorrowInstaller ${PELLMORROW_SERVER_HOST})
add_installer(PellmorrowInstallerE2E ${PELLMORROW_E2E_HOST})
add_installer(PellmorrowInstallerE2ETls ${PELLMORROW_E2E_TLS_HOST})
# Its downloads give up after 3 s of silence instead of the shipped 30 s (tests/e2e).
target_compile_definitions(PellmorrowInstallerE2E PRIVATE PELLMORROW_TEST_SILENCE_MS=3000)

add_subdirectory(tests/win)
add_subdirectory(tests/e2e)
add_subdirectory(demo)
add_subdirectory(bench)

# What the installers ask the loader for before their code runs, read from the files themselves:
# Wine applies neither Windows' KnownDLLs nor the load configuration.
add_test(NAME installer_imports COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/imports/test_imports.py -v)
set_tests_properties(installer_imports PROPERTIES ENVIRONMENT PELLMORROW_BUILD=${CMAKE_BINARY_DIR})
