# The Debian package (`make deb`): the programs, manual pages and sample
# accounts of install.cmake, plus the systemd unit, its settings in
# /etc/default/conference-server (a conffile) and the empty /etc/conference
# where the operator puts accounts.csv. Configured by make deb with the
# prefix /usr and Debian's flags.
# A packaged client without line editing would be a poorer client for
# everyone who installs it: refuse to build one.
get_target_property(line_editing client LINE_EDITING)
if(NOT line_editing)
  message(FATAL_ERROR "The package needs the client's line editing, and libedit was not "
    "found (install libedit-dev).")
endif()

set(pkg_dir ${CMAKE_CURRENT_LIST_DIR}/../packaging)
set(CONF_MAINTAINER "conference maintainers <maintainers@users.noreply.c-seed-b614a98c.example>")

# The programs are linked stripped; the compiler's notes go too, as
# dh_strip does.
foreach(prog conference-server conference-client conference-passwd)
  install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
    --remove-section=.note \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${prog}
    COMMAND_ERROR_IS_FATAL ANY)")
endforeach()

install(FILES ${pkg_dir}/conference-server.service DESTINATION lib/systemd/system)
install(FILES ${pkg_dir}/conference-server.default
  DESTINATION /etc/default RENAME conference-server)
install(DIRECTORY DESTINATION /etc/conference)

# Debian wants a copyright file and a compressed changelog beside the docs.
configure_file(${pkg_dir}/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${GZIP} -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${pkg_dir}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME conference)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CONF_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "text conferencing server and terminal client")
set(CPACK_PACKAGE_DESCRIPTION "\
A small chat service for a terminal. conference-server keeps a list of
accounts, the users who are logged in and named sessions (conference rooms)
with their members, and relays every line sent to a session to all its
members. conference-client is the interactive program a user types at:
log in, create or join sessions, talk, and see who is online.
.
The package runs the server as the systemd service conference-server, on
the port set in /etc/default/conference-server, with the accounts the
operator puts in /etc/conference/accounts.csv, readable only by the
service's group. Passwords may be kept there as hashes, made with
conference-passwd, and the accounts reloaded without dropping anyone.
With a certificate set in /etc/default/conference-server, the server also
speaks TLS on a port of its own, and the client verifies it (as ssh does
for a server no authority signed) before it sends the password.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst adds the system user the service runs as.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${pkg_dir}/conffiles ${pkg_dir}/postinst ${pkg_dir}/prerm ${pkg_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
