# Install rules and the Debian package (cpack -G DEB in the build folder).
#   bin/                                  vellumix, vellumix-cli
#   share/applications/                   vellumix.desktop
#   share/icons/hicolor/32x32/apps/       vellumix.png
#   share/man/man1/                       vellumix.1.gz, vellumix-cli.1.gz (from --help)
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/packaging_windows.cmake)
  return()
endif()
include(GNUInstallDirs)

install(TARGETS vellumix vellumix-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vellumix.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/src/ui/icons/vellumix.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)

# Man pages: help2man runs each program's --help and --version at build time (the desktop
# program answers both before it looks for a display) and adds packaging/<program>.h2m.
find_program(HELP2MAN_PROGRAM help2man)
find_program(GZIP_PROGRAM gzip)
if(HELP2MAN_PROGRAM AND GZIP_PROGRAM)
  set(VELLUMIX_MAN_PAGES ON)
  set(man_folder ${CMAKE_BINARY_DIR}/man)
  set(man_pages)
  foreach(program vellumix vellumix-cli)
    set(page ${man_folder}/${program}.1)
    set(include_file ${PROJECT_SOURCE_DIR}/packaging/${program}.h2m)
    add_custom_command(
      OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${man_folder}
      COMMAND ${HELP2MAN_PROGRAM} --no-info --section=1 --include=${include_file}
              --output=${page} $<TARGET_FILE:${program}>
      COMMAND ${GZIP_PROGRAM} -9nf ${page}
      DEPENDS ${program} ${include_file}
      COMMENT "Generating the ${program}(1) man page"
      VERBATIM)
    list(APPEND man_pages ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  set(VELLUMIX_MAN_PAGES OFF)
  message(NOTICE "help2man or gzip not found: the man pages are not built "
                 "(scripts/bootstrap installs help2man)")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellumix)
set(CPACK_PACKAGE_VENDOR "Vellumix team")
set(CPACK_PACKAGE_CONTACT "Vellumix team <team@vellumix.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Vellumix replaces the built-in web pages of a programmable controller (PLC): it packs a
folder of web files into one flat image and uploads it to the controller over TCP,
frame by frame, with a progress bar. The package holds the desktop program vellumix
and the command-line tool vellumix-cli, which adds a controller simulator and a
diagnostic log listener.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the programs link (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
