# The Debian package: `cpack -G DEB` in a release build gives findlark_VERSION_ARCH.deb with
# everything under /usr.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/findlark)
# A native package's changelog is changelog.gz, compressed reproducibly.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
  COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${PROJECT_BINARY_DIR}/changelog
          > ${PROJECT_BINARY_DIR}/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/changelog
  COMMENT "Compressing the changelog")
add_custom_target(findlark_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/findlark)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME findlark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})  # all four parts
set(CPACK_PACKAGE_VENDOR "The Findlark developers")
set(CPACK_PACKAGE_CONTACT "The Findlark developers <findlark@findlark.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find files by name and by the text inside them")
# Lines of at most 80 columns, as Debian's tools show them; an empty line is a paragraph break.
set(CPACK_PACKAGE_DESCRIPTION [=[
Findlark is a small desktop search program. Type a text, press Search, and it
walks a folder, or the whole machine, finding files by name and, optionally, by
the text inside them. Hits appear while the search runs, sorted into thirteen
categories; a hit can be previewed, opened, or have its folder opened, and the
results can be saved as one HTML page.

findlark-cli runs the same search from a terminal.]=])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # findlark_6.1.0.1_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${FINDLARK_HOME_PAGE})
# Depends come from the libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What is loaded at run time, which no linked library reveals: the libraries office documents
# are read with (at the first document, with the versions of the functions used), the X11
# platform plugin and the SVG icon engine that draws every icon.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libexpat1 (>= 2.0.1), libminizip1 (>= 1.1), qt6-qpa-plugins, libqt6svg6")
# The window runs natively on Wayland sessions with the Wayland platform plugin.
# pdftotext reads PDF documents for "Search inside PDF documents" and --pdf, in a process of
# its own (GPL poppler stays out of our programs); without it the option is off.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, poppler-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")

include(CPack)
