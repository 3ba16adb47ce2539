# The terminal program's installation and its Debian package (native Linux build):
#   <prefix>/bin/helmet-update, its man page (made by help2man from the program's own --help and --version, so
#   it never drifts from them), its bash, zsh and fish completions (dist/completions/), the udev rule
#   (cmake/Libusb.cmake), and the copyright and changelog. `cpack` in the build folder makes the .deb; its
#   postinst and postrm (dist/debian/) have udev read the rule again.
if(WIN32 OR NOT TARGET helmet-update OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()
include(GNUInstallDirs)

# One version for the program and its package: the program's own.
file(STRINGS ${PROJECT_SOURCE_DIR}/cli/helmet_update.h version_line REGEX "HELMET_UPDATE_VERSION\\[\\] = \"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" UPDATER_VERSION "${version_line}")
file(STRINGS ${PROJECT_SOURCE_DIR}/dist/debian/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^helmet-update \\(${UPDATER_VERSION}\\) ")
  message(FATAL_ERROR "dist/debian/changelog does not begin with version ${UPDATER_VERSION} (the program's)")
endif()

install(TARGETS helmet-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

# The man page. help2man takes the date from SOURCE_DATE_EPOCH when it is set; gzip -n keeps no name or time.
find_program(HELP2MAN_PROGRAM help2man)
find_program(GZIP_PROGRAM gzip)
if(HELP2MAN_PROGRAM AND GZIP_PROGRAM)
  set(man_page ${PROJECT_BINARY_DIR}/man/helmet-update.1)
  add_custom_command(
    OUTPUT ${man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    # The English help: the program speaks the environment's language.
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C LC_MESSAGES= LANG=
            ${HELP2MAN_PROGRAM} --no-info --section 1
            --name "update the firmware of the helmet communication unit over USB"
            --include ${PROJECT_SOURCE_DIR}/dist/helmet-update.h2m
            --output ${man_page} $<TARGET_FILE:helmet-update>
    COMMAND ${GZIP_PROGRAM} -9nf ${man_page}
    DEPENDS helmet-update ${PROJECT_SOURCE_DIR}/dist/helmet-update.h2m
    COMMENT "Writing the man page of helmet-update (help2man)"
    VERBATIM)
  add_custom_target(helmet-update-man ALL DEPENDS ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
else()
  message(STATUS "helmet-update: help2man or gzip not found (Debian: help2man); the man page is left out")
endif()

set(completions ${PROJECT_SOURCE_DIR}/dist/completions)
install(FILES ${completions}/helmet-update.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME helmet-update COMPONENT program)
install(FILES ${completions}/_helmet-update DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
        COMPONENT program)
install(FILES ${completions}/helmet-update.fish DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d
        COMPONENT program)

# The Debian package's documents: the copyright and the changelog (compressed as Debian keeps them).
set(changelog ${PROJECT_BINARY_DIR}/doc/changelog.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/doc
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/dist/debian/changelog ${PROJECT_BINARY_DIR}/doc/changelog
  COMMAND ${GZIP_PROGRAM} -9nf ${PROJECT_BINARY_DIR}/doc/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/dist/debian/changelog
  VERBATIM)
add_custom_target(helmet-update-changelog ALL DEPENDS ${changelog})
install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/copyright ${changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/helmet-update COMPONENT program)
install(FILES ${PROJECT_SOURCE_DIR}/dist/debian/helmet-update.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME helmet-update COMPONENT program)

# Every command and option of the program is named in each completion file.
if(UPDATER_BUILD_TESTS)
  find_package(Python3 COMPONENTS Interpreter QUIET)
  if(Python3_Interpreter_FOUND)
    add_test(NAME completions_name_every_option
             COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/cli/completions_test.py
                     $<TARGET_FILE:helmet-update> ${completions})
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME helmet-update)
set(CPACK_PACKAGE_VERSION ${UPDATER_VERSION})
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_CONTACT "Velmora software update <updates@velmora.example>" CACHE STRING "The package's maintainer")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the helmet communication unit")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "helmet-update checks the helmet communication unit over USB and writes the
firmware it carries (two bootloader copies and the application) into the
unit's flash. A udev rule lets the user at the seat open the unit without
root.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/postinst ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack stamps the package with the time of its run: a post-step makes it again with the commit's.
set(CPACK_UPDATER_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebReproducible.cmake)
include(CPack)
