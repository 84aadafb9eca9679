# The client's tests: unit tests over socket pairs, pipes and loopback
# listeners, and an end-to-end test against the real server (label e2e).
if(TARGET client_core)
  set(client_unit_tests
    client_validation_test.cpp
    client_connection_test.cpp
    client_line_reader_test.cpp
    client_sender_test.cpp
    client_receiver_test.cpp
    client_main_loop_test.cpp)
  foreach(src ${client_unit_tests})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE client_core GTest::gtest_main)
    gtest_discover_tests(${name} TEST_PREFIX "client." DISCOVERY_MODE PRE_TEST)
  endforeach()
endif()

# End to end: the built client programs against the built server.
if(TARGET client AND TARGET server)
  add_executable(client_e2e_test client_e2e_test.cpp)
  target_link_libraries(client_e2e_test PRIVATE common GTest::gtest_main)
  target_compile_definitions(client_e2e_test PRIVATE
    CLIENT_PATH="$<TARGET_FILE:client>" SERVER_PATH="$<TARGET_FILE:server>")
  add_dependencies(client_e2e_test client server)
  gtest_discover_tests(client_e2e_test TEST_PREFIX "client." DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS e2e TIMEOUT 120)
endif()
