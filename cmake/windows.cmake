# What the Windows cross build (preset "windows", toolchain cmake/mingw-w64-x86_64.cmake) needs
# beyond the Linux build:
#   - CLI11 (header-only) from Debian's libcli11-dev, its headers copied into the build folder so
#     that no Linux include folder reaches the cross compiler;
#   - the programs and tests run under Wine (VELLUMIX_WINE, a wrapper that also gives them a
#     display and a scratch prefix), which ctest uses to list and run the tests;
#   - the Qt DLLs, the platform plugins and the mingw runtime copied beside the programs, so that
#     build/windows/bin runs as it is.
set(VELLUMIX_CLI11_INCLUDE /usr/include CACHE PATH "Folder holding CLI/CLI.hpp")
file(COPY ${VELLUMIX_CLI11_INCLUDE}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11/include)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11/include)

# Standalone Asio (header-only) from Debian's libasio-dev: the cross compiler must not search
# /usr/include (Linux headers), so it gets a folder holding only links to Asio's two entries.
set(VELLUMIX_ASIO_INCLUDE /usr/include CACHE PATH "Folder holding asio.hpp and asio/")
set(VELLUMIX_ASIO_LINKS ${CMAKE_BINARY_DIR}/asio/include)
file(MAKE_DIRECTORY ${VELLUMIX_ASIO_LINKS})
foreach(entry asio asio.hpp)
  if(NOT EXISTS ${VELLUMIX_ASIO_INCLUDE}/${entry})
    message(FATAL_ERROR "Asio not found in ${VELLUMIX_ASIO_INCLUDE}: install libasio-dev")
  endif()
  file(CREATE_LINK ${VELLUMIX_ASIO_INCLUDE}/${entry} ${VELLUMIX_ASIO_LINKS}/${entry} SYMBOLIC)
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run)

# Runtime files beside the programs.
get_target_property(vellumix_qt_core_dll Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(VELLUMIX_QT_BIN ${vellumix_qt_core_dll} DIRECTORY)
get_filename_component(VELLUMIX_QT_ROOT ${VELLUMIX_QT_BIN} DIRECTORY)
set(VELLUMIX_QT_DLLS ${VELLUMIX_QT_BIN}/Qt6Core.dll ${VELLUMIX_QT_BIN}/Qt6Gui.dll
                     ${VELLUMIX_QT_BIN}/Qt6Network.dll ${VELLUMIX_QT_BIN}/Qt6Widgets.dll)
set(VELLUMIX_QT_PLATFORM_PLUGINS ${VELLUMIX_QT_ROOT}/plugins/platforms/qwindows.dll
                                 ${VELLUMIX_QT_ROOT}/plugins/platforms/qoffscreen.dll)
set(VELLUMIX_QT_STYLE_PLUGINS ${VELLUMIX_QT_ROOT}/plugins/styles/qwindowsvistastyle.dll)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE vellumix_libstdcxx OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s_seh-1.dll
                OUTPUT_VARIABLE vellumix_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
find_file(vellumix_winpthread libwinpthread-1.dll
          PATHS /usr/x86_64-w64-mingw32/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(VELLUMIX_MINGW_DLLS ${vellumix_libstdcxx} ${vellumix_libgcc} ${vellumix_winpthread})

set(runtime_bin ${CMAKE_BINARY_DIR}/bin)
add_custom_target(windows_runtime ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${runtime_bin}/platforms ${runtime_bin}/styles
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VELLUMIX_QT_DLLS} ${VELLUMIX_QT_BIN}/Qt6Test.dll
          ${VELLUMIX_MINGW_DLLS}
          ${runtime_bin}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VELLUMIX_QT_PLATFORM_PLUGINS}
          ${runtime_bin}/platforms
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${VELLUMIX_QT_STYLE_PLUGINS} ${runtime_bin}/styles
  COMMENT "Copying the Qt and mingw runtime DLLs beside the programs"
  VERBATIM)
