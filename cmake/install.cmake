# Install rules: the programs as bin/conference-server, bin/conference-passwd and
# bin/conference-client (the build tree keeps server and client), their
# manual pages, gzipped, under share/man/man1/, and the sample accounts
# under share/doc/conference/examples/. `make install PREFIX=...` installs
# under that prefix (default /usr/local).
include(GNUInstallDirs)

set(conf_root ${CMAKE_CURRENT_LIST_DIR}/..)

# The build tree keeps the short names; the installed programs get names of
# their own.
install(PROGRAMS $<TARGET_FILE:server> DESTINATION ${CMAKE_INSTALL_BINDIR}
  RENAME conference-server)
install(PROGRAMS $<TARGET_FILE:client> DESTINATION ${CMAKE_INSTALL_BINDIR}
  RENAME conference-client)
install(PROGRAMS $<TARGET_FILE:conference-passwd> DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages are installed compressed, as Debian and most systems keep them.
find_program(GZIP gzip)
set(man_pages)
foreach(page conference-server.1 conference-client.1 conference-passwd.1)
  if(GZIP)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${GZIP} -9n -c ${conf_root}/docs/${page} > ${CMAKE_BINARY_DIR}/man/${page}.gz
      DEPENDS ${conf_root}/docs/${page} VERBATIM)
    list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
  else()
    list(APPEND man_pages ${conf_root}/docs/${page})
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${conf_root}/examples/accounts.csv
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
