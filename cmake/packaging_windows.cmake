# Windows packages (cpack in the "windows" build folder): vellumix-VERSION-win64.zip and an
# NSIS installer, vellumix-VERSION-win64.exe. Layout of both, everything in one folder:
#   vellumix.exe, vellumix-cli.exe       the programs
#   Qt6Core/Gui/Network/Widgets.dll      the Qt libraries they load
#   platforms/qwindows.dll               the window system plugin (qoffscreen.dll for tests)
#   styles/qwindowsvistastyle.dll        the native look
#   libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll   the mingw-w64 runtime
#   README.md
# Settings are kept beside vellumix.exe when that folder is writable (the zip), else in
# %APPDATA%\Vellumix\Vellumix.ini (the installer's Program Files folder).
install(TARGETS vellumix vellumix-cli RUNTIME DESTINATION .)
install(FILES ${VELLUMIX_QT_DLLS} ${VELLUMIX_MINGW_DLLS} DESTINATION .)
install(FILES ${VELLUMIX_QT_PLATFORM_PLUGINS} DESTINATION platforms)
install(FILES ${VELLUMIX_QT_STYLE_PLUGINS} DESTINATION styles)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

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
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/packaging/vellumix.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/packaging/vellumix.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME vellumix.exe)
# Start-menu entries: the program and the uninstaller.
set(CPACK_NSIS_MENU_LINKS "vellumix.exe" "Vellumix")
set(CPACK_NSIS_CREATE_ICONS_EXTRA
    "CreateShortCut '$SMPROGRAMS\\\\$STARTMENU_FOLDER\\\\Uninstall Vellumix.lnk' '$INSTDIR\\\\Uninstall.exe'")
set(CPACK_NSIS_DELETE_ICONS_EXTRA
    "Delete '$SMPROGRAMS\\\\$START_MENU\\\\Uninstall Vellumix.lnk'")
include(CPack)
