# The client's TLS login against openssl s_server (label e2e); skipped
# without the openssl program.
if(TARGET client)
  add_test(NAME client_tls_login COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/client_tls_test.sh
    $<TARGET_FILE:client> $<TARGET_FILE:server>)
  set_tests_properties(client_tls_login PROPERTIES LABELS e2e TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()
