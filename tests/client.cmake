# The client's tests: the interpreters in-process, and the loop as a program
# (the test runs itself as the client) against a server it plays (label e2e).
if(TARGET client_core)
  foreach(name client_interpreters_test client_main_loop_test)
    add_executable(${name} ${name}.cpp)
    target_link_libraries(${name} PRIVATE client_core GTest::gtest)
  endforeach()
  target_link_libraries(client_interpreters_test PRIVATE GTest::gtest_main)
  gtest_discover_tests(client_interpreters_test TEST_PREFIX "client." NO_PRETTY_VALUES)
  # The client program itself, for its command line.
  add_dependencies(client_main_loop_test client)
  target_compile_definitions(client_main_loop_test PRIVATE CLIENT_PROGRAM="$<TARGET_FILE:client>")
  gtest_discover_tests(client_main_loop_test TEST_PREFIX "client." NO_PRETTY_VALUES
    PROPERTIES LABELS e2e)
endif()
