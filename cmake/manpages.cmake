# Manual pages are installed compressed, as Debian expects them.
find_program(GZIP_EXECUTABLE gzip REQUIRED)

# findlark_install_man_page(PAGE TARGET): gzips PAGE (a file made in the build) in an ALL target
# named TARGET and installs it in section 1.
function(findlark_install_man_page page target)
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${page} > ${gz}
    DEPENDS ${page}
    COMMENT "Compressing ${name}")
  add_custom_target(${target} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
