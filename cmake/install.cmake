# Install rules: the two programs to bin/, their manual pages to
# share/man/man1/ and the sample accounts file to share/conference/.
# Included from the top-level CMakeLists.txt after the programs' targets;
# `make install PREFIX=...` installs under that prefix (default /usr/local).
include(GNUInstallDirs)

set(conf_root ${CMAKE_CURRENT_LIST_DIR}/..)

install(TARGETS server client
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${conf_root}/docs/server.1 ${conf_root}/docs/client.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${conf_root}/examples/accounts.csv
  DESTINATION ${CMAKE_INSTALL_DATADIR}/conference)
