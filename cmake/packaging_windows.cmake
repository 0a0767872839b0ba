# Windows packages: cpack in the "windows" build folder makes vellumix-VERSION-win64.zip and an
# NSIS installer, vellumix-VERSION-win64.exe; the target "msi" makes vellumix-VERSION-win64.msi
# with wixl (packaging/vellumix.wxs.in). Layout of all three, everything in one folder:
#   vellumix.exe, vellumix-cli.exe       the programs
#   Qt6Core/Gui/Network/Widgets.dll      the Qt libraries they load
#   platforms/qwindows.dll               the window system plugin (qoffscreen.dll for tests)
#   styles/qwindowsvistastyle.dll        the native look
#   libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll   the mingw-w64 runtime
#   README.txt                           a short read-me for Windows users, CRLF
# Settings are kept beside vellumix.exe when that folder is writable (the zip), else in
# %APPDATA%\Vellumix\Vellumix.ini (the installer's Program Files folder).
install(TARGETS vellumix vellumix-cli RUNTIME DESTINATION .)
install(FILES ${VELLUMIX_QT_DLLS} ${VELLUMIX_MINGW_DLLS} DESTINATION .)
install(FILES ${VELLUMIX_QT_PLATFORM_PLUGINS} DESTINATION platforms)
install(FILES ${VELLUMIX_QT_STYLE_PLUGINS} DESTINATION styles)
configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt.in ${CMAKE_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME vellumix)
set(CPACK_PACKAGE_VENDOR "Vellumix team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_PACKAGE_FILE_NAME vellumix-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES OFF)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Vellumix)
set(CPACK_PACKAGE_EXECUTABLES vellumix Vellumix)
set(CPACK_NSIS_DISPLAY_NAME Vellumix)
set(CPACK_NSIS_PACKAGE_NAME Vellumix)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
# A 64-bit installer (PE32+, from NSIS's amd64 stub): it starts on 64-bit Windows without the
# 32-bit layer, which a 64-bit-only Wine does not have either, and it sees the real Program
# Files and registry rather than their 32-bit views.
set(CPACK_NSIS_DEFINES "Unicode true\n  Target amd64-unicode")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/packaging/vellumix.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/packaging/vellumix.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME vellumix.exe)
# Start-menu entries: the program, a console in the folder of vellumix-cli.exe (as the MSI has)
# and the uninstaller.
set(CPACK_NSIS_MENU_LINKS "vellumix.exe" "Vellumix")
set(CPACK_NSIS_CREATE_ICONS_EXTRA
    "CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Uninstall Vellumix.lnk' '$INSTDIR\\\\Uninstall.exe'
  SetOutPath '$INSTDIR'
  CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Vellumix command line.lnk' '$SYSDIR\\\\cmd.exe' '/k vellumix-cli.exe --help'")
set(CPACK_NSIS_DELETE_ICONS_EXTRA
    "Delete '$SMPROGRAMS\\\\$START_MENU\\\\Uninstall Vellumix.lnk'
  Delete '$SMPROGRAMS\\\\$START_MENU\\\\Vellumix command line.lnk'")
include(CPack)

# The MSI: the same files as above, listed in the WiX source as File elements of one component
# per folder. The first file of each component is its key path. wixl finds a source file only
# by a path relative to the folder it runs in, the build folder.
function(vellumix_msi_files out_var)
  cmake_parse_arguments(PARSE_ARGV 1 msi "" "" "TARGETS;FILES")
  set(elements)
  set(key_path " KeyPath=\"yes\"")
  foreach(item IN LISTS msi_TARGETS msi_FILES)
    if(TARGET ${item})
      set(name "$<TARGET_FILE_NAME:${item}>")
      set(source "$<PATH:RELATIVE_PATH,$<TARGET_FILE:${item}>,${CMAKE_BINARY_DIR}>")
    else()
      get_filename_component(name ${item} NAME)
      file(RELATIVE_PATH source ${CMAKE_BINARY_DIR} ${item})
    endif()
    get_filename_component(id ${item} NAME)
    string(MAKE_C_IDENTIFIER "file_${id}" id)
    string(APPEND elements
           "            <File Id=\"${id}\" Name=\"${name}\" Source=\"${source}\"${key_path}/>\n")
    set(key_path)
  endforeach()
  set(${out_var} "${elements}" PARENT_SCOPE)
endfunction()
vellumix_msi_files(VELLUMIX_MSI_FILES TARGETS vellumix vellumix-cli
                   FILES ${VELLUMIX_QT_DLLS} ${VELLUMIX_MINGW_DLLS} ${CMAKE_BINARY_DIR}/README.txt)
vellumix_msi_files(VELLUMIX_MSI_PLATFORM_FILES FILES ${VELLUMIX_QT_PLATFORM_PLUGINS})
vellumix_msi_files(VELLUMIX_MSI_STYLE_FILES FILES ${VELLUMIX_QT_STYLE_PLUGINS})
file(RELATIVE_PATH VELLUMIX_ICO ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}/packaging/vellumix.ico)
configure_file(${PROJECT_SOURCE_DIR}/packaging/vellumix.wxs.in ${CMAKE_BINARY_DIR}/vellumix.wxs.gen
               @ONLY)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/vellumix.wxs INPUT ${CMAKE_BINARY_DIR}/vellumix.wxs.gen)

find_program(WIXL_PROGRAM wixl)
if(WIXL_PROGRAM)
  set(VELLUMIX_MSI ${CMAKE_BINARY_DIR}/vellumix-${PROJECT_VERSION}-win64.msi)
  add_custom_target(msi
    COMMAND ${WIXL_PROGRAM} -a x64 -o ${VELLUMIX_MSI} vellumix.wxs
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Building vellumix-${PROJECT_VERSION}-win64.msi"
    VERBATIM)
  add_dependencies(msi vellumix vellumix-cli windows_runtime)
else()
  message(NOTICE "wixl not found: no MSI target (scripts/bootstrap windows installs wixl)")
endif()
