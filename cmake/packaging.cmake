# Manual pages, the documents installed with the programs, and the Debian
# package: `cpack -G DEB` in the build folder (scripts/package.sh does both).
include(GNUInstallDirs)
find_program(RETROVA_GZIP gzip REQUIRED)
# Set it to whoever publishes the package (the changelog names them too).
set(RETROVA_PACKAGE_MAINTAINER "Retrova developers <retrova@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian wants manual pages and long documents compressed with gzip -9n (no
# name or time stamp, so that the package builds the same twice).
set(RETROVA_MAN_PAGES retrova-cli)
if(RETROVA_GUI)
  list(APPEND RETROVA_MAN_PAGES retrova)
endif()
set(RETROVA_DOC_FILES)
foreach(page ${RETROVA_MAN_PAGES})
  configure_file(${CMAKE_SOURCE_DIR}/docs/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
  list(APPEND RETROVA_DOC_FILES ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.1.gz
    COMMAND ${RETROVA_GZIP} -9nkf ${page}.1
    DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.1
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
    VERBATIM)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/doc/README.md COPYONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/README.md.gz
  COMMAND ${RETROVA_GZIP} -9nkf README.md
  DEPENDS ${CMAKE_BINARY_DIR}/doc/README.md
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/doc
  VERBATIM)
list(APPEND RETROVA_DOC_FILES ${CMAKE_BINARY_DIR}/doc/README.md.gz)
# A native package carries a Debian changelog: one entry for this version,
# dated by the build (SOURCE_DATE_EPOCH when set).
string(TIMESTAMP retrova_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${CMAKE_BINARY_DIR}/doc/changelog.new
  "retrova (${PROJECT_VERSION}) unstable; urgency=medium\n\n  * Version ${PROJECT_VERSION}.\n\n"
  " -- ${RETROVA_PACKAGE_MAINTAINER}  ${retrova_changelog_date}\n")
configure_file(${CMAKE_BINARY_DIR}/doc/changelog.new ${CMAKE_BINARY_DIR}/doc/changelog COPYONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${RETROVA_GZIP} -9nkf changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/doc
  VERBATIM)
list(APPEND RETROVA_DOC_FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_target(retrova_docs ALL DEPENDS ${RETROVA_DOC_FILES})
install(FILES ${CMAKE_BINARY_DIR}/doc/README.md.gz ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/retrova)

# The package. dpkg-shlibdeps (dpkg-dev) adds the libraries the programs link;
# Depends names what it cannot see.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME retrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${RETROVA_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data-recovery workstation for FAT32 and NTFS drives and images")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RETROVA_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(RETROVA_GUI)
  # The About picture is drawn in Liberation Sans; Qt finds the font at run time.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
  set(retrova_programs "The desktop program, retrova, shows them in a tree with check boxes;
retrova-cli, the headless one, prints them as tab-separated tables.")
else()
  set(retrova_programs "retrova-cli prints them as tab-separated tables.")
endif()
# The synopsis is the summary above; this is the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Retrova finds every volume on a hard drive or a disk image, also those whose
partition entries or boot records are lost, reads FAT32 and NTFS volumes
straight from their raw sectors, lists live and deleted files and copies the
marked ones out to a healthy folder. Sources are only ever opened for reading;
only the disk utilities (boot and partition records, clone, wipe) write.
${retrova_programs}")
include(CPack)

if(RETROVA_TESTS)
  string(REPLACE "." "\\." version_re "${PROJECT_VERSION}")
  # One version from project(VERSION) for every program.
  add_test(NAME version_cli COMMAND retrova-cli --version)
  set_tests_properties(version_cli PROPERTIES PASS_REGULAR_EXPRESSION "^retrova-cli ${version_re}\n$")
  if(RETROVA_GUI)
    # Answered before Qt starts: no display, no platform plugin.
    add_test(NAME version_gui COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                                      QT_QPA_PLATFORM=none $<TARGET_FILE:retrova> --version)
    set_tests_properties(version_gui PROPERTIES PASS_REGULAR_EXPRESSION "^retrova ${version_re}\n$")
    add_test(NAME gui_refuses_unknown_option
             COMMAND sh -c "\"$0\" --no-such-option; test $? -eq 2" $<TARGET_FILE:retrova>)
    set_tests_properties(gui_refuses_unknown_option PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endif()

  # The manual page of retrova-cli against what the program prints; and the
  # check itself, against copies of the page that lost an option or a verb.
  set(man_check ${CMAKE_SOURCE_DIR}/tests/packaging/check_manpage.sh)
  add_test(NAME manpage_cli COMMAND ${man_check} $<TARGET_FILE:retrova-cli> ${CMAKE_BINARY_DIR}/man/retrova-cli.1)
  file(READ ${CMAKE_BINARY_DIR}/man/retrova-cli.1 page)
  string(REPLACE "\\-\\-flat" "" page_no_option "${page}")
  file(WRITE ${CMAKE_BINARY_DIR}/man/check-no-option.1 "${page_no_option}")
  string(REPLACE ".SS restore" ".SS restored" page_no_verb "${page}")
  file(WRITE ${CMAKE_BINARY_DIR}/man/check-no-verb.1 "${page_no_verb}")
  add_test(NAME manpage_cli_check_catches_a_missing_option
           COMMAND ${man_check} $<TARGET_FILE:retrova-cli> ${CMAKE_BINARY_DIR}/man/check-no-option.1)
  set_tests_properties(manpage_cli_check_catches_a_missing_option PROPERTIES
    PASS_REGULAR_EXPRESSION "recover: option --flat is not described.*1 misses")
  add_test(NAME manpage_cli_check_catches_a_missing_verb
           COMMAND ${man_check} $<TARGET_FILE:retrova-cli> ${CMAKE_BINARY_DIR}/man/check-no-verb.1)
  set_tests_properties(manpage_cli_check_catches_a_missing_verb PROPERTIES
    PASS_REGULAR_EXPRESSION "verb restore has no subsection.*subsection restored names no verb.*2 misses")

  # Every page formats without a warning (groff, and mandoc's lint where it is
  # installed) and gives lexgrog its whatis line.
  foreach(page ${RETROVA_MAN_PAGES})
    add_test(NAME manpage_lint_${page}
             COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/lint_manpage.sh ${CMAKE_BINARY_DIR}/man/${page}.1)
    set_tests_properties(manpage_lint_${page} PROPERTIES SKIP_RETURN_CODE 77)
  endforeach()

  if(RETROVA_GUI)
    add_test(NAME desktop_entry
             COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/check_desktop.sh ${CMAKE_SOURCE_DIR}/gui/retrova.desktop
                     ${CMAKE_BINARY_DIR}/gui/icons ${CMAKE_SOURCE_DIR}/gui/retrova.svg)
    set_tests_properties(desktop_entry PROPERTIES SKIP_RETURN_CODE 77)
  endif()

  # cpack into a folder of its own, then the control fields and the file list
  # (not of a sanitizer build, which is no package anyone installs).
  if(NOT RETROVA_SANITIZE)
    add_test(NAME package_deb
             COMMAND ${CMAKE_SOURCE_DIR}/tests/packaging/check_package.sh ${CMAKE_CPACK_COMMAND}
                     ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/package-test ${PROJECT_VERSION} $<BOOL:${RETROVA_GUI}>)
    set_tests_properties(package_deb PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
  endif()
endif()
